# 32-bit Windows, the product's architecture: MinGW-w64 with the posix thread
# model, for the tests, stand-ins and tools.
set(ulvane_arch i686)
set(ulvane_threads posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
