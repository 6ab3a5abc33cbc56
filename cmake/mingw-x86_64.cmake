# Cross build of the 64-bit Windows DLL and tools with mingw-w64 (posix threads),
# run under wine64 for the tests.
set(VT_WIN_TRIPLE x86_64-w64-mingw32)
set(VT_WIN_PROCESSOR AMD64)
set(VT_WINE_WIDTH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
