# Cross build for the camera: 32-bit ARMv7-A, hard float, NEON, against a Debian 12 armhf
# sysroot made by scripts/cross-sysroot (scripts/cross passes MEVO_ARMHF_SYSROOT).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(MEVO_TRIPLE arm-linux-gnueabihf)

if(NOT MEVO_ARMHF_SYSROOT)
  set(MEVO_ARMHF_SYSROOT "$ENV{MEVO_ARMHF_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${MEVO_ARMHF_SYSROOT}/usr/include")
  message(FATAL_ERROR "MEVO_ARMHF_SYSROOT (${MEVO_ARMHF_SYSROOT}) is not an armhf sysroot; "
                      "scripts/cross makes one")
endif()
# try_compile projects read the toolchain file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MEVO_ARMHF_SYSROOT)
set(CMAKE_SYSROOT "${MEVO_ARMHF_SYSROOT}")

set(CMAKE_C_COMPILER ${MEVO_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MEVO_TRIPLE}-g++)
set(CMAKE_ASM_COMPILER ${MEVO_TRIPLE}-gcc)
# Debian's armhf baseline is ARMv7-A with VFPv3-D16; the camera's core has NEON, which the
# LBP transform and the halving use.
# 64-bit file offsets and inode numbers: with 32-bit ones readdir() fails (EOVERFLOW) on
# filesystems with large inode numbers, and files past 2 GiB cannot be read.
set(MEVO_ARM_FLAGS "-march=armv7-a -mfpu=neon -mfloat-abi=hard -D_FILE_OFFSET_BITS=64")
set(CMAKE_C_FLAGS_INIT "${MEVO_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${MEVO_ARM_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "${MEVO_ARM_FLAGS}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config reads only the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/${MEVO_TRIPLE}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user with the sysroot's loader and libraries; gtest's test
# discovery at build time uses the same.
find_program(MEVO_QEMU_ARM qemu-arm)
if(MEVO_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${MEVO_QEMU_ARM};-L;${CMAKE_SYSROOT}")
endif()
