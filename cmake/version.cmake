# The product version lives in one place, the public header: ULVANE_VERSION here, and
# ULVANE_VERSION_COMMAS for the version resource.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../include/ulvane.h ulvane_version_line
     REGEX "^#define ULVANE_VERSION \"[0-9.]+\"$")
if(NOT ulvane_version_line MATCHES "\"(([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+))\"$")
  message(FATAL_ERROR "include/ulvane.h must hold the line: #define ULVANE_VERSION \"a.b.c.d\"")
endif()
set(ULVANE_VERSION ${CMAKE_MATCH_1})
set(ULVANE_VERSION_MAJOR ${CMAKE_MATCH_2})
set(ULVANE_VERSION_COMMAS "${CMAKE_MATCH_2},${CMAKE_MATCH_3},${CMAKE_MATCH_4},${CMAKE_MATCH_5}")
