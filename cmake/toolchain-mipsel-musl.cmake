# 32-bit little-endian MIPS with musl and soft float, as on the router, through Zig's clang
# with libc++ (scripts/cross-musl makes the compiler wrappers and the prefix of static
# libraries). Programs are static; they run under qemu-mipsel without a library root.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-musl.cmake -DGATEWAY_MUSL_ROOT=/path ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

if(NOT GATEWAY_MUSL_ROOT AND DEFINED ENV{GATEWAY_MUSL_ROOT})
    set(GATEWAY_MUSL_ROOT $ENV{GATEWAY_MUSL_ROOT})
endif()
if(NOT GATEWAY_MUSL_ROOT)
    set(GATEWAY_MUSL_ROOT /opt/gateway-musl)
endif()
set(GATEWAY_MUSL_ROOT ${GATEWAY_MUSL_ROOT} CACHE PATH "musl toolchain and prefix")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GATEWAY_MUSL_ROOT)

set(CMAKE_C_COMPILER ${GATEWAY_MUSL_ROOT}/bin/cc)
set(CMAKE_CXX_COMPILER ${GATEWAY_MUSL_ROOT}/bin/c++)
set(CMAKE_AR ${GATEWAY_MUSL_ROOT}/bin/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${GATEWAY_MUSL_ROOT}/bin/ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH ${GATEWAY_MUSL_ROOT}/prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -L${GATEWAY_MUSL_ROOT}/prefix/lib")
# Static archives do not say what they need: GATEWAY_MUSL_LIBS ("-lssl -lcrypto ...") goes
# last on every link, and only what is used is taken from it.
set(GATEWAY_MUSL_LIBS "" CACHE STRING "libraries at the end of every link")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GATEWAY_MUSL_LIBS)
set(CMAKE_C_STANDARD_LIBRARIES "${GATEWAY_MUSL_LIBS}")
set(CMAKE_CXX_STANDARD_LIBRARIES "${GATEWAY_MUSL_LIBS}")

set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR} ${GATEWAY_MUSL_ROOT}/prefix/lib/pkgconfig)

set(GATEWAY_TEST_EMULATOR qemu-mipsel)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
