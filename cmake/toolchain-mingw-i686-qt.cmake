# The shipped desktop updater: the i686 MinGW-w64 toolchain plus the static Qt 5 and OpenSSL that
# tools/build-mingw-qt builds from Debian's sources (it writes their folder to
# build/mingw-qt-prefix). Qt's host tools (moc, rcc, uic) come from that build; lrelease from
# Debian's qttools5-dev-tools.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake)

set(_vextra_prefix_file ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-qt-prefix)
if(NOT VEXTRA_MINGW_QT_ROOT)
  if(NOT EXISTS ${_vextra_prefix_file})
    message(FATAL_ERROR "no Qt for i686 MinGW yet: run tools/build-mingw-qt (part of make deps)")
  endif()
  file(STRINGS ${_vextra_prefix_file} VEXTRA_MINGW_QT_ROOT LIMIT_COUNT 1)
endif()
if(NOT EXISTS ${VEXTRA_MINGW_QT_ROOT}/.complete)
  message(FATAL_ERROR "${VEXTRA_MINGW_QT_ROOT} is not a finished toolchain build: run tools/build-mingw-qt")
endif()
set(VEXTRA_MINGW_QT_ROOT ${VEXTRA_MINGW_QT_ROOT} CACHE PATH "Static Qt and OpenSSL for i686 MinGW")

list(APPEND CMAKE_FIND_ROOT_PATH ${VEXTRA_MINGW_QT_ROOT}/qt ${VEXTRA_MINGW_QT_ROOT}/openssl)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${VEXTRA_MINGW_QT_ROOT}/openssl)
set(OPENSSL_USE_STATIC_LIBS TRUE)
