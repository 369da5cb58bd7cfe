# AArch64 with glibc: Debian's cross g++, the arm64 multiarch libraries
# (libmd-dev:arm64, libgtest-dev:arm64, libstdc++6:arm64) and qemu-user to
# run the tests. The programs run against the multiarch arm64 runtime: under
# qemu-user 7.2 the cross toolchain's own older glibc hangs in a new thread
# or a forked child.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
