# Cross build for ppc64le Linux with Debian's cross compiler (g++-powerpc64le-linux-gnu), the programs run
# under user-mode emulation: ctest starts each test program through qemu-ppc64le-static with the
# cross C library's root, so no binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(RASTREL_TRIPLET powerpc64le-linux-gnu)
set(CMAKE_CXX_COMPILER ${RASTREL_TRIPLET}-g++)
set(RASTREL_SYSROOT /usr/${RASTREL_TRIPLET} CACHE PATH "Root of the target's C library")
set(CMAKE_FIND_ROOT_PATH ${RASTREL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc64le-static -L ${RASTREL_SYSROOT})
