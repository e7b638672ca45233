# The desktop updater's x86_64 twin: the same sources under wine64, where the kernel refuses
# 32-bit programs (tools/build-mingw-qt x86_64 writes its Qt's folder to build/mingw-qt-prefix-x86_64).
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-x86_64.cmake)
set(_vextra_qt_target x86_64)
set(_vextra_prefix_file ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-qt-prefix-x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-qt.cmake)
