# End-to-end tests: the real HexlornS.exe and the test programs of the windows
# build, run under Wine in private prefixes. The harness: wineprefix.py (the
# prefixes and running programs), winesvc.py (the service client), fakes.py
# (fake card, stand-in companion), winelog.py (reading Wine's debug output),
# eventview.py (records as the Event Viewer shows them). Every test_*.py module
# here is one ctest test, except test_msi.py, which tests/installer registers
# (msi_life).
file(GLOB E2E_MODULES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test_*.py)
list(FILTER E2E_MODULES EXCLUDE REGEX "/test_msi\\.py$")
foreach(module_path ${E2E_MODULES})
    get_filename_component(module ${module_path} NAME_WE)
    string(REGEX REPLACE "^test_" "e2e_" name ${module})
    add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${module_path} -v WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
    set_tests_properties(${name} PROPERTIES LABELS e2e TIMEOUT 300
                         ENVIRONMENT "HEXLORN_WINDOWS_BUILD_DIR=${HEXLORN_WINDOWS_BUILD_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
