# 32-bit little-endian MIPS (the router's CPU) with Debian's cross compiler, against a sysroot
# of Debian's mipsel packages (scripts/cross-mipsel makes it). Binaries run under qemu-mipsel.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake -DGATEWAY_MIPSEL_SYSROOT=/path ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

if(NOT GATEWAY_MIPSEL_SYSROOT AND DEFINED ENV{GATEWAY_MIPSEL_SYSROOT})
    set(GATEWAY_MIPSEL_SYSROOT $ENV{GATEWAY_MIPSEL_SYSROOT})
endif()
if(NOT GATEWAY_MIPSEL_SYSROOT)
    set(GATEWAY_MIPSEL_SYSROOT /opt/gateway-mipsel/sysroot)
endif()
set(GATEWAY_MIPSEL_SYSROOT ${GATEWAY_MIPSEL_SYSROOT} CACHE PATH "mipsel sysroot")
# try_compile projects see the toolchain file again; hand them the sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GATEWAY_MIPSEL_SYSROOT)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_SYSROOT ${GATEWAY_MIPSEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${GATEWAY_MIPSEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} ${GATEWAY_MIPSEL_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    "${GATEWAY_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${GATEWAY_MIPSEL_SYSROOT}/usr/share/pkgconfig")

# ctest and gtest_discover_tests run the test programs through this. The library root goes
# through the environment, so that programs of this build that a test starts (through
# GATEWAY_TEST_EMULATOR) find it too.
set(GATEWAY_TEST_EMULATOR qemu-mipsel)
set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=${GATEWAY_MIPSEL_SYSROOT} qemu-mipsel)
