# The certificate authority certificate that signed packages must chain to is a build input:
# VEXTRA_EMBEDDED_CA_DER names the DER file to embed. The shipped build is given the deployment's
# certificate. When it is empty (development and test builds) a CA of the same form is made here,
# once per build tree, with openssl: self-signed, serial 0, sha1WithRSAEncryption, RSA 2048 with
# exponent 65537, only basic constraints CA:TRUE, subject CN, ST, C, emailAddress, O, OU in that
# order, valid 2005-06-01 07:01:52 to 2025-05-27 07:01:52 UTC (the program never looks at the
# dates of its trust anchor). Its private key stays in the build tree (build/<preset>/pki/) for
# the tests, which issue intermediates and signers from it; it is never committed.
set(VEXTRA_EMBEDDED_CA_DER "" CACHE FILEPATH
    "DER certificate of the certificate authority that signs update packages (empty: make a development CA)")

set(_vextra_pki_dir ${CMAKE_BINARY_DIR}/pki)
if(VEXTRA_EMBEDDED_CA_DER)
  set(_vextra_ca_der ${VEXTRA_EMBEDDED_CA_DER})
  if(NOT EXISTS ${_vextra_ca_der})
    message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} does not exist")
  endif()
else()
  set(_vextra_ca_der ${_vextra_pki_dir}/embedded-ca.der)
  if(NOT EXISTS ${_vextra_ca_der})
    find_program(VEXTRA_OPENSSL openssl REQUIRED)
    file(REMOVE_RECURSE ${_vextra_pki_dir}/work)
    file(MAKE_DIRECTORY ${_vextra_pki_dir}/work)
    set(_w ${_vextra_pki_dir}/work)
    file(WRITE ${_w}/ca.cnf [=[
[ ca ]
default_ca = devca
[ devca ]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha1
policy = anything
unique_subject = no
copy_extensions = none
[ anything ]
commonName = supplied
stateOrProvinceName = optional
countryName = optional
emailAddress = optional
organizationName = optional
organizationalUnitName = optional
[ v3_ca ]
basicConstraints = CA:TRUE
subjectKeyIdentifier = none
authorityKeyIdentifier = none
[ req ]
distinguished_name = dn
[ dn ]
]=])
    file(WRITE ${_w}/index.txt "")
    file(WRITE ${_w}/serial "00\n")
    set(_subject "/CN=Orvane Vextra Player Development CA/ST=Test State/C=US/emailAddress=ca@localhost/O=Orvane Development/OU=Vextra Player")
    foreach(step
        "genrsa;-out;embedded-ca.key;2048"
        "req;-new;-config;ca.cnf;-key;embedded-ca.key;-subj;${_subject};-out;ca.csr"
        "ca;-batch;-config;ca.cnf;-selfsign;-keyfile;embedded-ca.key;-in;ca.csr;-out;embedded-ca.pem;-startdate;20050601070152Z;-enddate;20250527070152Z;-md;sha1;-preserveDN;-extensions;v3_ca;-notext"
        "x509;-in;embedded-ca.pem;-outform;DER;-out;embedded-ca.der")
      execute_process(COMMAND ${VEXTRA_OPENSSL} ${step} WORKING_DIRECTORY ${_w}
                      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "making the development CA failed at 'openssl ${step}': ${_err}")
      endif()
    endforeach()
    foreach(f embedded-ca.key embedded-ca.pem)
      file(RENAME ${_w}/${f} ${_vextra_pki_dir}/${f})
    endforeach()
    file(RENAME ${_w}/embedded-ca.der ${_vextra_ca_der})
    file(REMOVE_RECURSE ${_w})
  endif()
endif()
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
