# The install action end to end: the kru binary on the emulated device, images from nemftool
# signed with tests/pki, devices provisioned by tools/kru-provision.sh. kru_testhooks is the
# same tool with the test hooks of kru_test_hooks.cc linked in; the shipped kru has none.
find_package(ZLIB REQUIRED)

add_executable(kru_testhooks ${PROJECT_SOURCE_DIR}/kru/main.cc kru_test_hooks.cc)
target_link_libraries(kru_testhooks PRIVATE kru_core)
kru_product_target(kru_testhooks)

kru_add_test(kru_install_test SOURCES kru_install_test.cc LIBS kru_test_support kru_krul ZLIB::ZLIB)
target_compile_definitions(kru_install_test PRIVATE
  NEMFTOOL_TEST_BIN="$<TARGET_FILE:nemftool>"
  KRU_TEST_PKI_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pki"
  KRU_TESTHOOKS_BIN="$<TARGET_FILE:kru_testhooks>"
  KRU_PROVISION_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kru-provision.sh")
add_dependencies(kru_install_test nemftool kru_testhooks)

# Delta images: installed, compared with the full image, and refused.
kru_add_test(kru_delta_test SOURCES kru_delta_test.cc LIBS kru_test_support ZLIB::ZLIB)
target_compile_definitions(kru_delta_test PRIVATE
  NEMFTOOL_TEST_BIN="$<TARGET_FILE:nemftool>"
  KRU_TEST_PKI_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pki"
  KRU_PROVISION_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kru-provision.sh")
add_dependencies(kru_delta_test nemftool)
