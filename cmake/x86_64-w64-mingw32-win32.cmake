# The DLL's own toolchain for 64-bit Windows: MinGW-w64 with the win32 thread model.
# It has no winpthreads, whose start-up takes a thread-local slot that no unload gives
# back, so a host can load and unload the DLL as often as it likes.
set(ulvane_arch x86_64)
set(ulvane_threads win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
