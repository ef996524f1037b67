# Robustness on the emulated device: the power-cut sweep over every action that writes flash.
# It makes release images with nemftool.
find_package(ZLIB REQUIRED)
foreach(t sweep)
  kru_add_test(kru_${t}_test SOURCES ${t}_test.cc LIBS kru_test_support kru_krul kru_hostconfig ZLIB::ZLIB)
  target_compile_definitions(kru_${t}_test PRIVATE
    NEMFTOOL_TEST_BIN="$<TARGET_FILE:nemftool>"
    KRU_TEST_PKI_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pki")
  add_dependencies(kru_${t}_test nemftool)
endforeach()
