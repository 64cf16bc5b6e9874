# CMake toolchain for 64-bit Windows, cross-compiled with Debian's MinGW-w64
# posix-thread compilers. Finds the libraries Debian packages for MinGW under
# /usr/x86_64-w64-mingw32 and the ones tools/build-deps-mingw.sh builds under
# KEB_DEPS_PREFIX. Everything links statically, so the .exe needs no MinGW DLLs.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEB_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KEB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KEB_MINGW_TRIPLET}-windres)

set(KEB_DEPS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build/deps-mingw"
    CACHE PATH "Prefix holding the MinGW builds of zstd, liblzma, LZO, libjpeg-turbo, omnithread and GoogleTest")
get_filename_component(_keb_deps_prefix "${KEB_DEPS_PREFIX}" ABSOLUTE)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEB_DEPS_PREFIX)

# The toolchain file is read again for every try_compile; don't add the
# same roots twice.
list(APPEND CMAKE_FIND_ROOT_PATH "${_keb_deps_prefix}" /usr/${KEB_MINGW_TRIPLET})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)

# Host programs (python3, wine, ...) come from the build machine; headers,
# libraries and package configs only from the target roots above.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libz-mingw-w64-dev ships libz.dll.a beside libz.a; take the static one.
set(ZLIB_USE_STATIC_LIBS ON CACHE BOOL "Link zlib statically")

set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
