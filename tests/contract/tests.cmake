# Contract tests: the facts of Windows the service relies on, on the simulated
# Windows (contract_sim, linking the simulation only) and under Wine
# (contract_wine: contract.exe of the windows preset, run by run_wine.py in a
# private prefix). Each run writes its counts into the build folder; the
# post-test command of CTestCustom.cmake prints them as one line after ctest's
# summary and removes them, so that other runs print nothing extra.
set(CONTRACT_DIR ${CMAKE_CURRENT_LIST_DIR})
add_executable(contract_sim ${CONTRACT_DIR}/contract.cpp ${CONTRACT_DIR}/arrange_sim.cpp ${CONTRACT_DIR}/kernel32.cpp
                            ${CONTRACT_DIR}/advapi32.cpp ${CONTRACT_DIR}/user32.cpp ${CONTRACT_DIR}/setupapi.cpp
                            ${CONTRACT_DIR}/wtsapi32.cpp ${CONTRACT_DIR}/shell32.cpp ${CONTRACT_DIR}/crt.cpp)
target_compile_options(contract_sim PRIVATE ${HEXLORN_WARNINGS})
target_link_libraries(contract_sim PRIVATE winsim)
add_test(NAME contract_sim COMMAND contract_sim --counts ${CMAKE_BINARY_DIR}/contract-counts-sim.txt)
add_test(NAME contract_wine COMMAND ${Python3_EXECUTABLE} ${CONTRACT_DIR}/run_wine.py
                                    ${CMAKE_BINARY_DIR}/contract-counts-wine.txt)
# contract.exe as the lab runs it, on a machine nobody prepared: no card, so
# the facts about one are not applicable, each with its reason; none fails.
add_test(NAME contract_wine_as_is COMMAND ${Python3_EXECUTABLE} ${CONTRACT_DIR}/run_wine.py --as-is)
set_tests_properties(contract_wine_as_is PROPERTIES LABELS contract TIMEOUT 300 ENVIRONMENT
                     "HEXLORN_WINDOWS_BUILD_DIR=${HEXLORN_WINDOWS_BUILD_DIR};PYTHONDONTWRITEBYTECODE=1")
set_tests_properties(contract_sim PROPERTIES LABELS contract TIMEOUT 120)
set_tests_properties(contract_wine PROPERTIES LABELS contract TIMEOUT 300 ENVIRONMENT
                     "HEXLORN_WINDOWS_BUILD_DIR=${HEXLORN_WINDOWS_BUILD_DIR};PYTHONDONTWRITEBYTECODE=1")
file(WRITE ${CMAKE_BINARY_DIR}/CTestCustom.cmake
     "set(CTEST_CUSTOM_POST_TEST \"${Python3_EXECUTABLE} ${CONTRACT_DIR}/counts.py ${CMAKE_BINARY_DIR}\")\n")
