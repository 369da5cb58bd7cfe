# The device binary: static AArch64 with musl, built by zig (clang with
# musl and libc++ bundled). tools/device.sh installs zig, writes the
# compiler wrappers and builds libmd and libsodium for the target into KB_DEVICE_CACHE
# (default ~/.cache/kestrelbind-device); the tests run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if(DEFINED ENV{KB_DEVICE_CACHE})
  set(kb_device_cache "$ENV{KB_DEVICE_CACHE}")
else()
  set(kb_device_cache "$ENV{HOME}/.cache/kestrelbind-device")
endif()
set(CMAKE_C_COMPILER "${kb_device_cache}/bin/zig-cc")
set(CMAKE_CXX_COMPILER "${kb_device_cache}/bin/zig-c++")
set(CMAKE_AR "${kb_device_cache}/bin/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${kb_device_cache}/bin/zig-ranlib" CACHE FILEPATH "")
# zig builds its runtime once per set of flags; a linked test program would
# build it once more with the compiler check's own flags.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ENV{PKG_CONFIG_LIBDIR} "${kb_device_cache}/libmd/lib/pkgconfig:${kb_device_cache}/libsodium/lib/pkgconfig")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
