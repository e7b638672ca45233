# The certificate authority that signed update packages must chain to is a build input.
#
# Development and test builds (VEXTRA_RELEASE off) share one development CA per build tree, made
# once with openssl in VEXTRA_DEV_PKI_DIR (the presets name build/pki, so the i686 and the x86_64
# build embed the same authority and a package signed for one verifies in the other). Its private
# key stays there for the tests, which issue intermediates and signers from it; it is never
# committed. The CA has the form of the deployment's: self-signed, serial 0,
# sha1WithRSAEncryption, RSA 2048 with exponent 65537, only basic constraints CA:TRUE, subject CN,
# ST, C, emailAddress, O, OU in that order, valid 2005-06-01 07:01:52 to 2025-05-27 07:01:52 UTC
# (the program never looks at the dates of its trust anchor).
#
# A release build (VEXTRA_RELEASE on) embeds only the certificate named by VEXTRA_EMBEDDED_CA_DER:
# it refuses to configure without one and never makes a CA, so no private key is in its tree.
#
# Sets VEXTRA_EMBEDDED_CA_DER (normal variable) to the DER file to embed.
set(VEXTRA_EMBEDDED_CA_DER "" CACHE FILEPATH
    "DER certificate of the certificate authority that signs update packages (empty: the development CA)")
set(VEXTRA_DEV_PKI_DIR "${CMAKE_BINARY_DIR}/pki" CACHE PATH
    "Folder of the development CA shared by the development builds of one build tree")
option(VEXTRA_RELEASE "Release build: embeds the release CA given in VEXTRA_EMBEDDED_CA_DER" OFF)

find_program(VEXTRA_OPENSSL openssl)

if(VEXTRA_RELEASE)
  if(NOT VEXTRA_EMBEDDED_CA_DER)
    message(FATAL_ERROR "a release build needs the release CA certificate: "
                        "configure with -DVEXTRA_EMBEDDED_CA_DER=<file.der> (make release CA=<file.der>)")
  endif()
  get_filename_component(_vextra_ca_der "${VEXTRA_EMBEDDED_CA_DER}" ABSOLUTE)
  if(NOT EXISTS "${_vextra_ca_der}" OR IS_DIRECTORY "${_vextra_ca_der}")
    message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} does not exist")
  endif()
  if(NOT VEXTRA_OPENSSL)
    message(FATAL_ERROR "openssl is needed to check the release CA certificate")
  endif()
  # Only a DER X.509 certificate is accepted: a PEM file, a private key or anything else is refused
  # here rather than embedded as bytes the program cannot use.
  execute_process(COMMAND ${VEXTRA_OPENSSL} x509 -inform DER -in "${_vextra_ca_der}" -noout
                          -subject -ext basicConstraints
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} is not a DER X.509 certificate: ${_err}")
  endif()
  if(NOT _out MATCHES "CA:TRUE")
    message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} is not a CA certificate (no CA:TRUE)")
  endif()
  # The service refuses an authority whose key usage does not allow signing certificates, one
  # with name constraints and one with a critical extension it does not read: such a release
  # CA would refuse every package, so it is refused here instead.
  execute_process(COMMAND ${VEXTRA_OPENSSL} x509 -inform DER -in "${_vextra_ca_der}" -noout -text
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _text ERROR_VARIABLE _err)
  if(_text MATCHES "X509v3 Key Usage[^\n]*\n *([^\n]*)")
    if(NOT CMAKE_MATCH_1 MATCHES "Certificate Sign")
      message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} has a key usage without "
                          "keyCertSign; the service would refuse every package under it")
    endif()
  endif()
  if(_text MATCHES "X509v3 Extended Key Usage[^\n]*\n *([^\n]*)")
    if(NOT CMAKE_MATCH_1 MATCHES "Code Signing|Any Extended Key Usage")
      message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} has an extended key usage "
                          "without code signing; the service would refuse every package under it")
    endif()
  endif()
  if(_text MATCHES "X509v3 Name Constraints")
    message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} has name constraints, which "
                        "the service refuses")
  endif()
  string(REGEX MATCHALL "\n *[^\n:]+: critical" _critical "${_text}")
  foreach(_ext IN LISTS _critical)
    string(STRIP "${_ext}" _ext)
    if(NOT _ext MATCHES "^X509v3 (Basic Constraints|Key Usage|Extended Key Usage|Subject Key Identifier|Authority Key Identifier): critical$")
      message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} has a critical extension "
                          "the service does not read (${_ext}); it would refuse every package")
    endif()
  endforeach()
  # The development CA's private key lies in the build tree: a release never trusts it.
  file(SHA256 "${_vextra_ca_der}" _vextra_ca_sum)
  foreach(_dev "${VEXTRA_DEV_PKI_DIR}/embedded-ca.der" "${CMAKE_SOURCE_DIR}/build/pki/embedded-ca.der")
    if(EXISTS "${_dev}")
      file(SHA256 "${_dev}" _dev_sum)
      if(_dev_sum STREQUAL _vextra_ca_sum)
        message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} is the development CA (${_dev}), not a release CA")
      endif()
    endif()
  endforeach()
  string(REGEX REPLACE "\n.*" "" _subject "${_out}")
  message(STATUS "Release CA: ${_subject}")
  set(VEXTRA_EMBEDDED_CA_DER "${_vextra_ca_der}")
  return()
endif()

if(VEXTRA_EMBEDDED_CA_DER)
  # A development build may be given another authority (for example to try a release CA).
  get_filename_component(_vextra_ca_der "${VEXTRA_EMBEDDED_CA_DER}" ABSOLUTE)
  if(NOT EXISTS "${_vextra_ca_der}")
    message(FATAL_ERROR "VEXTRA_EMBEDDED_CA_DER: ${_vextra_ca_der} does not exist")
  endif()
  set(VEXTRA_EMBEDDED_CA_DER "${_vextra_ca_der}")
  return()
endif()

set(_vextra_pki_dir "${VEXTRA_DEV_PKI_DIR}")
set(_vextra_ca_der ${_vextra_pki_dir}/embedded-ca.der)
if(NOT EXISTS ${_vextra_ca_der})
  if(NOT VEXTRA_OPENSSL)
    message(FATAL_ERROR "openssl is needed to make the development CA")
  endif()
  # Two builds configured at once must not make two authorities: the first takes the lock.
  file(MAKE_DIRECTORY ${_vextra_pki_dir})
  file(LOCK ${_vextra_pki_dir}/.lock TIMEOUT 120)
  set(_vextra_pki_locked ON)
endif()
if(NOT EXISTS ${_vextra_ca_der})
  string(RANDOM LENGTH 8 _tag)
  set(_w ${_vextra_pki_dir}/work-${_tag})
  file(REMOVE_RECURSE ${_w})
  file(MAKE_DIRECTORY ${_w})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/openssl-ca.cnf ${_w}/ca.cnf COPYONLY)
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
  # The DER file last: its presence says the authority is complete.
  file(RENAME ${_w}/embedded-ca.der ${_vextra_ca_der})
  file(REMOVE_RECURSE ${_w})
endif()
if(_vextra_pki_locked)
  file(LOCK ${_vextra_pki_dir}/.lock RELEASE)
endif()
set(VEXTRA_EMBEDDED_CA_DER "${_vextra_ca_der}")
