# The benchmarks' shared pieces, tested with the rest (included from tests/CMakeLists.txt).
if(TARGET bench_support)
  add_executable(bench_support_tests ${PROJECT_SOURCE_DIR}/bench/bench_support_test.cpp)
  target_include_directories(bench_support_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(bench_support_tests PRIVATE bench_support GTest::gtest_main)
  gtest_discover_tests(bench_support_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endif()
