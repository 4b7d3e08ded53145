# Cross build for aarch64 Linux with Debian's cross compiler (g++-aarch64-linux-gnu), the programs run
# under user-mode emulation: ctest starts each test program through qemu-aarch64-static with the
# cross C library's root, so no binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RASTREL_TRIPLET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER ${RASTREL_TRIPLET}-g++)
set(RASTREL_SYSROOT /usr/${RASTREL_TRIPLET} CACHE PATH "Root of the target's C library")
set(CMAKE_FIND_ROOT_PATH ${RASTREL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${RASTREL_SYSROOT})
