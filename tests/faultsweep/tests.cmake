# The fault-injection sweep: every scenario once cleanly, then once per
# injectable call with that call failing. `bench/faultsweep.sh` runs the fuller
# sweep (--full).
add_executable(faultsweep ${CMAKE_CURRENT_LIST_DIR}/main.cpp ${CMAKE_CURRENT_LIST_DIR}/driver.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/scenarios.cpp ${CMAKE_CURRENT_LIST_DIR}/invariants.cpp)
target_compile_options(faultsweep PRIVATE ${HEXLORN_WARNINGS})
target_link_libraries(faultsweep PRIVATE hexlorn_test_support)
add_test(NAME faultsweep COMMAND faultsweep)
set_tests_properties(faultsweep PROPERTIES LABELS faultsweep TIMEOUT 900)
