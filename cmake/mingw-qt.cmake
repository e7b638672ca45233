# The static Qt 5 and OpenSSL that tools/build-mingw-qt builds from Debian's sources for one
# MinGW-w64 target, on top of that target's toolchain file. The including toolchain file sets
# _vextra_qt_target (i686 or x86_64) and _vextra_prefix_file (where the script wrote the folder).
# Qt's host tools (moc, rcc, uic) come from that build; lrelease from Debian's qttools5-dev-tools.
if(NOT VEXTRA_MINGW_QT_ROOT)
  if(NOT EXISTS ${_vextra_prefix_file})
    message(FATAL_ERROR "no Qt for ${_vextra_qt_target} MinGW yet: run tools/build-mingw-qt ${_vextra_qt_target} (part of make deps)")
  endif()
  file(STRINGS ${_vextra_prefix_file} VEXTRA_MINGW_QT_ROOT LIMIT_COUNT 1)
endif()
if(NOT EXISTS ${VEXTRA_MINGW_QT_ROOT}/.complete)
  message(FATAL_ERROR "${VEXTRA_MINGW_QT_ROOT} is not a finished toolchain build: run tools/build-mingw-qt ${_vextra_qt_target}")
endif()
set(VEXTRA_MINGW_QT_ROOT ${VEXTRA_MINGW_QT_ROOT} CACHE PATH "Static Qt and OpenSSL for ${_vextra_qt_target} MinGW")

# libzstd comes from the same script, keyed apart (its folder in the prefix file's -zstd twin).
if(NOT VEXTRA_MINGW_ZSTD_ROOT)
  if(NOT EXISTS ${_vextra_prefix_file}-zstd)
    message(FATAL_ERROR "no libzstd for ${_vextra_qt_target} MinGW yet: run tools/build-mingw-qt ${_vextra_qt_target} (part of make deps)")
  endif()
  file(STRINGS ${_vextra_prefix_file}-zstd VEXTRA_MINGW_ZSTD_ROOT LIMIT_COUNT 1)
endif()
if(NOT EXISTS ${VEXTRA_MINGW_ZSTD_ROOT}/.complete)
  message(FATAL_ERROR "${VEXTRA_MINGW_ZSTD_ROOT} is not a finished libzstd build: run tools/build-mingw-qt ${_vextra_qt_target}")
endif()
set(VEXTRA_MINGW_ZSTD_ROOT ${VEXTRA_MINGW_ZSTD_ROOT} CACHE PATH "Static libzstd for ${_vextra_qt_target} MinGW")

list(APPEND CMAKE_FIND_ROOT_PATH ${VEXTRA_MINGW_QT_ROOT}/qt ${VEXTRA_MINGW_QT_ROOT}/openssl ${VEXTRA_MINGW_ZSTD_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${VEXTRA_MINGW_QT_ROOT}/openssl)
set(OPENSSL_USE_STATIC_LIBS TRUE)
