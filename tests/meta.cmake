# The install's data model: partition checks, release metadata and meta install, rebuild.
add_executable(meta_probe meta_probe.cc)
target_link_libraries(meta_probe PRIVATE kru_core)

kru_add_test(krul_meta_test SOURCES krul_meta_test.cc LIBS kru_core kru_test_support)
kru_add_test(krul_check_test SOURCES krul_check_test.cc LIBS kru_core kru_test_support)
kru_add_test(rebuild_test SOURCES rebuild_test.cc LIBS kru_core kru_test_support)
foreach(t krul_meta_test krul_check_test rebuild_test)
  target_compile_definitions(${t} PRIVATE META_PROBE="$<TARGET_FILE:meta_probe>")
  add_dependencies(${t} meta_probe)
endforeach()
