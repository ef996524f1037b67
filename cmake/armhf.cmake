# Cross build for the board: 32-bit ARM, hard-float EABI (Debian armhf multiarch).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
# Needs g++-arm-linux-gnueabihf, libssl-dev:armhf, libzstd-dev:armhf, libdivsufsort-dev:armhf,
# libgtest-dev:armhf and qemu-user
# (tools/armhf-test.sh installs them). Tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# FindOpenSSL asks pkg-config first; without this it finds the build machine's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The multiarch libraries live under /, so the user-mode emulator needs no sysroot of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)

# GCC on ARM notes that GCC 7.1 changed how some arguments are passed; every part of this
# build comes from one compiler, so the note says nothing here.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
