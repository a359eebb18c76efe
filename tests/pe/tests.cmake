# Reads the real HexlornS.exe of the windows build: image type, imports,
# exports, the message table in its three languages, the manifest, the version
# resource and the size budget.
add_test(NAME pe_check COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_pe.py
                               ${HEXLORN_WINDOWS_BUILD_DIR}/HexlornS.exe ${PROJECT_VERSION})
set_tests_properties(pe_check PROPERTIES LABELS pe TIMEOUT 60)
