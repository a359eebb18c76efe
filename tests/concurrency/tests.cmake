# Storms of device broadcasts and session changes while the service starts up
# and shuts down; the sim-tsan preset runs only these, under ThreadSanitizer.
add_executable(concurrency_tests ${CMAKE_CURRENT_LIST_DIR}/concurrency_test.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/../unit/fixture.cpp)
target_compile_options(concurrency_tests PRIVATE ${HEXLORN_WARNINGS})
target_link_libraries(concurrency_tests PRIVATE hexlorn_test_support GTest::gtest GTest::gtest_main)
gtest_discover_tests(concurrency_tests TEST_PREFIX "concurrency." DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS concurrency TIMEOUT 900)
