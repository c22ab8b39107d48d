# Shared part of the mingw-w64 cross toolchains. The including file sets
# PELBO_MINGW_TRIPLET before it includes this one.
#
# The -posix compilers are required: the default win32-thread ones lack
# std::thread and std::mutex. The runtime is linked statically so that no
# libstdc++, libgcc or winpthread DLL has to ship beside ours.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PELBO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELBO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PELBO_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${PELBO_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PELBO_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The prefix of cross-built dependencies (tools/scripts/windows-deps.sh);
# only it and the compiler's own sysroot are searched, never the host's
# /usr, and pkg-config reads only the prefix's .pc files.
set(PELBO_WIN_DEPS "$ENV{PELBO_WIN_DEPS}" CACHE PATH "Prefix of the cross-built Windows dependencies")
set(CMAKE_FIND_ROOT_PATH /usr/${PELBO_MINGW_TRIPLET})
if(PELBO_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${PELBO_WIN_DEPS})
  set(ENV{PKG_CONFIG_LIBDIR} "${PELBO_WIN_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(PELBO_WINE_PROGRAM NAMES wine)
if(PELBO_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELBO_WINE_PROGRAM})
endif()
