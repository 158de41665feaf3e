# 64-bit Windows, the twin for 64-bit hosts: MinGW-w64 with the posix thread
# model, for the tests, stand-ins and tools.
set(ulvane_arch x86_64)
set(ulvane_threads posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
