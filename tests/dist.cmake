# What ships beside the programs: the boot units and the Debian packages.

# The boot units pass systemd-analyze verify.
add_test(NAME systemd_units_verify
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/units_verify.sh ${PROJECT_SOURCE_DIR} $<TARGET_FILE:kru>)
set_tests_properties(systemd_units_verify PROPERTIES SKIP_RETURN_CODE 77)

# kru-mount.service's command mounts the set the kernel command line names. It preloads the
# device emulator into the build machine's shell, so a cross build leaves it out.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME systemd_mount_unit_picks_the_booted_set
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/unit_mount.sh ${PROJECT_SOURCE_DIR} $<TARGET_FILE:kru>
                   $<TARGET_FILE:flashsim> $<TARGET_FILE:flashsim-mkdev>)
  set_tests_properties(systemd_mount_unit_picks_the_booted_set PROPERTIES ENVIRONMENT "ASAN_OPTIONS=verify_asan_link_order=0")
endif()

# The packages of each architecture: built by tools/package.sh in a build of their own (release,
# shared runtime), lintian without errors, their contents as the install rules promise, and the
# build machine's installed with dpkg into a scratch root and run from there. A sanitizer or
# cross build of the suite has nothing to add to that, so only the native one runs them.
if(NOT CMAKE_CROSSCOMPILING AND NOT KRU_SANITIZE)
  foreach(arch amd64 armhf)
    add_test(NAME debian_package_${arch}
             COMMAND bash ${PROJECT_SOURCE_DIR}/tools/package.sh --arch ${arch} --check)
    set_tests_properties(debian_package_${arch} PROPERTIES
      ENVIRONMENT "KRU_PACKAGE_NO_INSTALL=1;KRU_PACKAGE_DIR=${CMAKE_BINARY_DIR}/packages;KRU_PACKAGE_BUILD_DIR=${CMAKE_BINARY_DIR}/package-build"
      SKIP_RETURN_CODE 77 TIMEOUT 1800 RESOURCE_LOCK kru_package PROCESSORS 2)
  endforeach()
endif()
