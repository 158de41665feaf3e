# The compile and link settings every program of the project shares, the DLL's own
# build included. Included after project(), once the toolchain has named the processor.
if(NOT CMAKE_CROSSCOMPILING OR NOT WIN32 OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "Configure with a preset (cmake --preset x64, say) or a toolchain file from cmake/")
endif()
# The architecture as the build trees, the release kit and the scripts name it; cached
# for the scripts, which read it from a tree's CMakeCache.txt.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(ULVANE_ARCH x64 CACHE INTERNAL "The architecture: i686 or x64")
else()
  set(ULVANE_ARCH i686 CACHE INTERNAL "The architecture: i686 or x64")
endif()

# A compiler cache that every checkout on the machine shares (scripts/setup installs
# ccache): a fresh clone's build takes the objects an earlier one compiled from the same
# sources and flags. Paths under the checkout count relative to it, so an object from
# one checkout is the same in any other. ULVANE_NO_CCACHE=1 builds without it.
find_program(ULVANE_CCACHE ccache)
if(ULVANE_CCACHE AND NOT "$ENV{ULVANE_NO_CCACHE}" STREQUAL "1")
  get_filename_component(ulvane_checkout ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
  foreach(language C CXX)
    set(CMAKE_${language}_COMPILER_LAUNCHER env CCACHE_BASEDIR=${ulvane_checkout} ${ULVANE_CCACHE})
  endforeach()
endif()

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
add_compile_options(-Wall -Wextra)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# Every program links its C and C++ runtime in: an installer extracts the DLL alone,
# and test programs must run from the build tree without MinGW DLLs beside them.
add_link_options(-static -static-libgcc -static-libstdc++)

# GCC's undefined-behaviour checks in trap mode: a check that fails executes an illegal
# instruction, so no sanitizer runtime is needed and a test process dies where it happens.
option(ULVANE_UB_CHECKS "Trap on undefined behaviour" OFF)
if(ULVANE_UB_CHECKS)
  add_compile_options(-fsanitize=undefined -fsanitize-undefined-trap-on-error)
  # The library's own checks of its rules (ULVANE_CHECKED): a broken rule ends the process.
  add_compile_definitions(ULVANE_CHECKED)
endif()

# A module definition file for this architecture, written to output from source. The
# sources decorate stdcall names (Name@bytes) as 32-bit code needs; 64-bit Windows has
# one calling convention and no decoration, so there the decorations go.
function(ulvane_module_definition source output)
  if(ULVANE_ARCH STREQUAL "x64")
    file(READ ${source} text)
    string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" text "${text}")
    file(WRITE ${output}.in "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    set(source ${output}.in)
  endif()
  # Copied only when it differs, so that an unchanged file relinks nothing.
  configure_file(${source} ${output} COPYONLY)
endfunction()
