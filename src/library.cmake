# The library's sources below the export boundary, shared by the DLL's own build and
# by the test build, which links them into tests of the inner pieces.
set(ULVANE_LIBRARY_SOURCES
  common/environment.cpp
  common/failure.cpp
  common/system_message.cpp
  common/text.cpp
  config/configuration_file.cpp
  config/extract_field.cpp
  config/integer_syntax.cpp
  config/profile_file.cpp
  config/profile_text.cpp
  config/registry.cpp
  config/working_copy.cpp
  server/com_error.cpp
  server/commands.cpp
  server/control_site.cpp
  server/server_connection.cpp
)
list(TRANSFORM ULVANE_LIBRARY_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
set(ULVANE_LIBRARY_LIBS ole32 oleaut32 uuid advapi32)
