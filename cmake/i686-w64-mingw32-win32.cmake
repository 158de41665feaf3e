# The DLL's own toolchain: MinGW-w64 with the win32 thread model. It has no
# winpthreads, whose start-up takes a thread-local slot that no unload gives back,
# so a host can load and unload the DLL as often as it likes.
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
