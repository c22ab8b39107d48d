# Windows 32-bit (the client's home) with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELBO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
