# The certificate authority certificate that signed packages must chain to is embedded as bytes.
# cmake/embedded-ca.cmake (included by the top-level CMakeLists) chooses the DER file: the
# development CA shared by the development builds of a build tree, or the release CA.
if(NOT VEXTRA_EMBEDDED_CA_DER OR NOT EXISTS "${VEXTRA_EMBEDDED_CA_DER}")
  message(FATAL_ERROR "no embedded CA certificate chosen (cmake/embedded-ca.cmake)")
endif()
set(_vextra_ca_der "${VEXTRA_EMBEDDED_CA_DER}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vextra_ca_der})

file(READ ${_vextra_ca_der} _vextra_ca_hex HEX)
string(LENGTH "${_vextra_ca_hex}" _vextra_ca_hex_len)
math(EXPR _vextra_ca_size "${_vextra_ca_hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _vextra_ca_bytes "${_vextra_ca_hex}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/embedded_ca.cpp CONTENT [=[
// Generated from @_vextra_ca_der@ at configure time.
#include "verify/crypto_helper.h"

extern const uint8_t kEmbeddedCaCertificate[] = {
    @_vextra_ca_bytes@
};
extern const uint32_t kEmbeddedCaCertificateSize = @_vextra_ca_size@;
]=] @ONLY)
target_sources(vextra_service_core PRIVATE ${CMAKE_BINARY_DIR}/generated/embedded_ca.cpp)
