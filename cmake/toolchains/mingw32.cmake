# Windows x86 (32-bit); built and checked only: its tests would need a
# 32-bit Wine.
set(QUENVALE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
