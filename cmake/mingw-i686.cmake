# Cross build for 32-bit Windows with MinGW-w64 (compiled and linked only: no 32-bit Wine here).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KTB_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
