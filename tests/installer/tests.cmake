# The MSI package of the windows build under Wine: install, stop/start,
# same-version rebuild, upgrade, refused downgrade, uninstall (15-30 s on a
# private prefix copied from the shared template).
add_test(NAME msi_life COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_msi.py)
set_tests_properties(msi_life PROPERTIES LABELS e2e TIMEOUT 600
                     ENVIRONMENT "HEXLORN_WINDOWS_BUILD_DIR=${HEXLORN_WINDOWS_BUILD_DIR};HEXLORN_VERSION=${PROJECT_VERSION};PYTHONDONTWRITEBYTECODE=1")

# The operator's guide has a row for every record the code can write and
# every catalog text.
add_test(NAME operators_guide COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_guide.py)
set_tests_properties(operators_guide PROPERTIES LABELS docs TIMEOUT 30)

# A signed build of the windows preset in a folder of its own, with a
# throwaway certificate: both signatures, the signed exe inside the MSI, the
# password nowhere (20-60 s: the exe and the MSI are built again).
add_test(NAME signing COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_signing.py)
set_tests_properties(signing PROPERTIES LABELS signing TIMEOUT 600
                     ENVIRONMENT "HEXLORN_WINDOWS_BUILD_DIR=${HEXLORN_WINDOWS_BUILD_DIR};HEXLORN_VERSION=${PROJECT_VERSION};PYTHONDONTWRITEBYTECODE=1")
