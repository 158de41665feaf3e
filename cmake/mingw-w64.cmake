# The cross toolchain for one architecture and thread model, set by the toolchain file
# that includes this one: ulvane_arch (i686 or x86_64) and ulvane_threads (posix, which
# has std::thread and std::mutex, or win32, which has no winpthreads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ulvane_arch})
set(triple ${ulvane_arch}-w64-mingw32)

set(CMAKE_C_COMPILER ${triple}-gcc-${ulvane_threads})
set(CMAKE_CXX_COMPILER ${triple}-g++-${ulvane_threads})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_DLLTOOL ${triple}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
