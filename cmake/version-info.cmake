# The service's version resource: file and product version from VEXTRA_VERSION, and a file
# description that says "development build" unless this is a release build (VEXTRA_RELEASE).
set(VEXTRA_VERSION "0.0.0.0" CACHE STRING "Version of the service in the version resource (a.b.c.d)")
if(NOT VEXTRA_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "VEXTRA_VERSION must be four numbers a.b.c.d, not '${VEXTRA_VERSION}'")
endif()
string(REPLACE "." "," VEXTRA_VERSION_COMMAS "${VEXTRA_VERSION}")
if(VEXTRA_RELEASE)
  set(VEXTRA_FILE_DESCRIPTION "Orvane Vextra Player Update Service")
else()
  set(VEXTRA_FILE_DESCRIPTION "Orvane Vextra Player Update Service (development build)")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/version-info.h.in
               ${CMAKE_BINARY_DIR}/generated/version_info.h @ONLY)
target_include_directories(VextraPlayerUpdateService PRIVATE ${CMAKE_BINARY_DIR})
