# MTD access, the hostconfig store and the upgrade data record.
find_package(ZLIB REQUIRED)

kru_add_test(hostconfig_test SOURCES hostconfig_test.cc LIBS kru_core kru_test_support ZLIB::ZLIB)
kru_add_test(krul_test SOURCES krul_test.cc LIBS kru_core)
kru_add_test(mtd_test SOURCES mtd_test.cc LIBS kru_test_support)
target_compile_definitions(mtd_test PRIVATE META_PROBE="$<TARGET_FILE:meta_probe>")
add_dependencies(mtd_test meta_probe)
