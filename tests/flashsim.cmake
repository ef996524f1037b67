# The device emulator (tools/flashsim): a probe program runs under it, driven by the tests.
add_executable(flashsim_probe ${CMAKE_CURRENT_LIST_DIR}/flashsim_probe.cc)

add_executable(flashsim_test ${CMAKE_CURRENT_LIST_DIR}/flashsim_test.cc)
target_link_libraries(flashsim_test PRIVATE kru_test_support GTest::gtest_main)
target_include_directories(flashsim_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(flashsim_test PRIVATE
  FLASHSIM_TEST_PROBE="$<TARGET_FILE:flashsim_probe>"
  FLASHSIM_TEST_MKDEV="$<TARGET_FILE:flashsim-mkdev>")
add_dependencies(flashsim_test flashsim flashsim_probe flashsim-mkdev)
gtest_discover_tests(flashsim_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
