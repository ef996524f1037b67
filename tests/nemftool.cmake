# The image builder nemftool and the nemfinfo action, with the test PKI of tests/pki.
find_package(ZLIB REQUIRED)

kru_add_test(nemftool_test SOURCES nemftool_test.cc LIBS kru_test_support ZLIB::ZLIB)
kru_add_test(kru_nemfinfo_test SOURCES kru_nemfinfo_test.cc LIBS kru_core kru_test_support ZLIB::ZLIB)
kru_add_test(nemf_delta_test SOURCES nemf_delta_test.cc LIBS kru_nemf kru_test_support ZLIB::ZLIB)
target_include_directories(nemf_delta_test PRIVATE ${KRU_ZSTD_INCLUDE_DIR})
foreach(t nemftool_test kru_nemfinfo_test nemf_delta_test)
  target_compile_definitions(${t} PRIVATE
    NEMFTOOL_TEST_BIN="$<TARGET_FILE:nemftool>"
    KRU_TEST_PKI_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pki")
  add_dependencies(${t} nemftool)
endforeach()
