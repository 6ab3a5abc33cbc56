# Cross build of the 32-bit Windows DLL and tools with mingw-w64 (posix threads),
# run under the 32-bit Wine for the tests.
set(VT_WIN_TRIPLE i686-w64-mingw32)
set(VT_WIN_PROCESSOR x86)
set(VT_WINE_WIDTH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
