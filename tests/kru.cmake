# The entry, command line, supervision and platform helpers.
find_package(ZLIB REQUIRED)

add_executable(kru_probe kru_probe.cc)
target_link_libraries(kru_probe PRIVATE kru_core)

kru_add_test(platform_test SOURCES platform_test.cc LIBS kru_platform kru_test_support ZLIB::ZLIB)
kru_add_test(kru_cmdline_test SOURCES kru_cmdline_test.cc LIBS kru_test_support)
kru_add_test(kru_supervise_test SOURCES kru_supervise_test.cc LIBS kru_test_support)
target_compile_definitions(kru_supervise_test PRIVATE KRU_PROBE="$<TARGET_FILE:kru_probe>")
add_dependencies(kru_supervise_test kru_probe)
