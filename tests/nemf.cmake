# The container library: validation, stream parser, manifest.
find_package(ZLIB REQUIRED)

kru_add_test(nemf_validate_test SOURCES nemf_validate_test.cc LIBS kru_nemf ZLIB::ZLIB)
kru_add_test(nemf_stream_parser_test SOURCES nemf_stream_parser_test.cc LIBS kru_nemf)
kru_add_test(nemf_manifest_test SOURCES nemf_manifest_test.cc LIBS kru_nemf)
target_compile_definitions(nemf_manifest_test PRIVATE KRU_TEST_PKI_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pki")
