# Reproducible Windows programs: two builds of one commit, in any two folders, give the same
# bytes, so a publisher (or anyone) can show that a published binary is what the source gives.
# - the linker leaves the PE header's time stamp at zero (it writes the link time by default);
# - source and build folders are written as fixed names wherever the compiler would record them
#   (__FILE__, symbol file names, debug information);
# - __DATE__ and __TIME__ follow SOURCE_DATE_EPOCH, which `make release` sets to the commit time.
# On for release builds; another Windows program's preset can set VEXTRA_REPRODUCIBLE too.
option(VEXTRA_REPRODUCIBLE "Build byte-identical programs wherever the tree lies" ${VEXTRA_RELEASE})
if(VEXTRA_REPRODUCIBLE)
  # The build folder's map comes last, so it wins for a build folder inside the sources.
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/vextra/src>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=/vextra/build>")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
