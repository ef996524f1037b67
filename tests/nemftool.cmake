# The image builder nemftool and the nemfinfo action, with the test PKI of tests/pki.
find_package(ZLIB REQUIRED)

kru_add_test(nemftool_test SOURCES nemftool_test.cc LIBS kru_test_support ZLIB::ZLIB)
kru_add_test(kru_nemfinfo_test SOURCES kru_nemfinfo_test.cc LIBS kru_core kru_test_support ZLIB::ZLIB)
foreach(t nemftool_test kru_nemfinfo_test)
  target_compile_definitions(${t} PRIVATE
    NEMFTOOL_TEST_BIN="$<TARGET_FILE:nemftool>"
    KRU_TEST_PKI_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pki")
  add_dependencies(${t} nemftool)
endforeach()
