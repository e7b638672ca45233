# The shipped desktop updater: the i686 MinGW-w64 toolchain plus its static Qt 5 and OpenSSL
# (tools/build-mingw-qt i686 writes their folder to build/mingw-qt-prefix).
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake)
set(_vextra_qt_target i686)
set(_vextra_prefix_file ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-qt-prefix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-qt.cmake)
