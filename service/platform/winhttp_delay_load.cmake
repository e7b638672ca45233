# WinHTTP is linked through a delay-load import library: the loader does not resolve it when the
# program starts, when the program's own folder would be searched first and a planted
# winhttp.dll there would run inside the LocalSystem service. The first WinHTTP call loads it
# instead, and the hook in system_library.cpp takes it by full path from the system folder.
# The import library is made from the toolchain's own libwinhttp.a, so it names the same
# entry points (with their stdcall argument sizes on i686).
find_program(VEXTRA_NM ${MINGW_TRIPLET}-nm REQUIRED)
find_program(VEXTRA_DLLTOOL ${MINGW_TRIPLET}-dlltool REQUIRED)
find_library(VEXTRA_WINHTTP_IMPORT_LIB NAMES libwinhttp.a REQUIRED)
set(_vextra_delay_lib ${CMAKE_BINARY_DIR}/generated/libwinhttp_delay.a)
set(_vextra_delay_def ${CMAKE_BINARY_DIR}/generated/winhttp.def)
execute_process(COMMAND ${VEXTRA_NM} ${VEXTRA_WINHTTP_IMPORT_LIB}
                OUTPUT_VARIABLE _vextra_nm RESULT_VARIABLE _rc ERROR_QUIET)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "reading ${VEXTRA_WINHTTP_IMPORT_LIB} with ${VEXTRA_NM} failed")
endif()
# x86_64: "I __imp_WinHttpOpen"; i686: "I __imp__WinHttpOpen@20".
string(REGEX MATCHALL " I __imp__?WinHttp[A-Za-z0-9_]*(@[0-9]+)?" _vextra_imports "${_vextra_nm}")
set(_vextra_def "LIBRARY winhttp.dll\nEXPORTS\n")
foreach(entry ${_vextra_imports})
  string(REGEX REPLACE "^ I __imp_" "" name "${entry}")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(REGEX REPLACE "^_" "" name "${name}")
  endif()
  string(APPEND _vextra_def "  ${name}\n")
endforeach()
file(CONFIGURE OUTPUT ${_vextra_delay_def} CONTENT "${_vextra_def}")
# dlltool names its symbols after the output path: run it in the folder with a bare name, so
# that no build path ends up in the program.
set(_vextra_dlltool_args -d winhttp.def -D winhttp.dll -y libwinhttp_delay.a)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND _vextra_dlltool_args -k)  # import by the undecorated name
endif()
execute_process(COMMAND ${VEXTRA_DLLTOOL} ${_vextra_dlltool_args}
                WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/generated RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "making the WinHTTP delay-load library failed: ${_err}")
endif()
target_link_libraries(vextra_service_core PUBLIC ${_vextra_delay_lib})
