# Cross build for another Linux processor with one of Debian's cross compilers, chosen by
# -DRASTREL_TRIPLET=<triplet> (aarch64-linux-gnu, powerpc64le-linux-gnu, ...). ctest starts each test
# program under qemu's user-mode emulator with the cross C library's root, so no binfmt
# registration is needed.
if(NOT RASTREL_TRIPLET)
  message(FATAL_ERROR "cross-linux.cmake: set -DRASTREL_TRIPLET, e.g. aarch64-linux-gnu")
endif()
# The try_compile projects CMake makes while probing the compiler read this file again; they see
# the triplet only when it is passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RASTREL_TRIPLET RASTREL_SYSROOT)

string(REGEX REPLACE "-.*" "" _arch "${RASTREL_TRIPLET}")
# qemu and the kernel name the little-endian POWER processor ppc64le, the GNU triplet powerpc64le.
string(REPLACE "powerpc64le" "ppc64le" _arch "${_arch}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_arch})
set(CMAKE_CXX_COMPILER ${RASTREL_TRIPLET}-g++)
set(RASTREL_SYSROOT /usr/${RASTREL_TRIPLET} CACHE PATH "Root of the target's C library")
set(CMAKE_FIND_ROOT_PATH ${RASTREL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${_arch}-static -L ${RASTREL_SYSROOT})
