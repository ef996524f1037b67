# The verify, activate, upgrade and mount actions through the kru binary on the emulated device,
# and the demo as an end-to-end run of a terminal's life cycle.
add_executable(trial_probe trial_probe.cc)
target_link_libraries(trial_probe PRIVATE kru_core)

# The tool with an activate hook linked in; the shipped kru has none.
add_executable(kru_trialhooks ${PROJECT_SOURCE_DIR}/kru/main.cc kru_trial_hooks.cc)
target_link_libraries(kru_trialhooks PRIVATE kru_core)
kru_product_target(kru_trialhooks)

foreach(t kru_verify_test kru_trial_test)
  kru_add_test(${t} SOURCES ${t}.cc LIBS kru_test_support)
  target_compile_definitions(${t} PRIVATE TRIAL_PROBE="$<TARGET_FILE:trial_probe>"
                                          KRU_TRIALHOOKS_BIN="$<TARGET_FILE:kru_trialhooks>")
  add_dependencies(${t} trial_probe kru_trialhooks)
endforeach()

# The manual pages render without a single groff warning.
find_program(KRU_GROFF groff)
if(KRU_GROFF)
  foreach(page kru.8 nemftool.1)
    add_test(NAME man_page_renders_clean_${page}
             COMMAND sh -c "out=$(\"$0\" -ww -man -z \"$1\" 2>&1) && [ -z \"$out\" ] || { echo \"$out\"; exit 1; }"
                     ${KRU_GROFF} ${PROJECT_SOURCE_DIR}/doc/${page})
  endforeach()
else()
  message(STATUS "groff not found: the manual page test is left out")
endif()

# The demo runs the life cycle of a terminal with the binaries of this build. It also preloads
# the device emulator into tools of the build machine (dd), so a cross build leaves it out.
if(CMAKE_CROSSCOMPILING)
  message(STATUS "cross build: the demo, which runs host tools on the emulated device, is left out")
else()
  add_test(NAME demo_life_cycle COMMAND bash ${PROJECT_SOURCE_DIR}/tools/demo.sh)
  set_tests_properties(demo_life_cycle PROPERTIES ENVIRONMENT "KRU_BUILD_DIR=${CMAKE_BINARY_DIR};ASAN_OPTIONS=verify_asan_link_order=0" TIMEOUT 120)
endif()
