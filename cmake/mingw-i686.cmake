# Cross-compiling the loader with MinGW-w64 (i686).
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
