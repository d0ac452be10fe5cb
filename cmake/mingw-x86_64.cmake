# Cross build for 64-bit Windows with MinGW-w64 (the build that runs and is tested under Wine).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KTB_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/winerun.sh)
