# The Ed25519 keys of firmware image signing.
#
# At configure time the build makes a demo key pair into ${ZAV_SIGNING_DIR} (once; never
# committed): demo-signing.pem (private) and demo-signing.pub.pem. The demo catalogue, the
# tests and the benchmarks sign their images with it, and the virtual dongle and zav-demo
# trust it. zav trusts ZAV_VENDOR_PUBLIC_KEY, the vendor's public key in PEM form; empty
# means the demo key, which no real dongle accepts. A release (ZAV_RELEASE) needs the vendor's
# key and refuses the demo key.
#
# Each executable that loads the update library provides the key it trusts, as it provides
# the hid_* functions: zav_link_hid_backend() compiles ${ZAV_TRUSTED_KEY_SOURCE_<backend>}
# into it, which defines the exported symbol zav_trusted_image_key (32 bytes).

set(ZAV_VENDOR_PUBLIC_KEY "" CACHE FILEPATH
    "Ed25519 public key (PEM) whose signatures zav accepts on firmware images; empty: the demo key")

set(ZAV_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing CACHE INTERNAL "Folder of the demo signing keys")
set(ZAV_DEMO_SIGNING_KEY ${ZAV_SIGNING_DIR}/demo-signing.pem CACHE INTERNAL
    "The demo private signing key")
set(ZAV_DEMO_PUBLIC_KEY_FILE ${ZAV_SIGNING_DIR}/demo-signing.pub.pem CACHE INTERNAL
    "The demo public signing key")
set(_zav_demo_public ${ZAV_DEMO_PUBLIC_KEY_FILE})

function(_zav_openssl)
  execute_process(COMMAND ${ZAV_OPENSSL} ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err
                  OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${err}")
  endif()
endfunction()

if(NOT EXISTS ${ZAV_DEMO_SIGNING_KEY})
  file(MAKE_DIRECTORY ${ZAV_SIGNING_DIR})
  _zav_openssl(genpkey -algorithm ed25519 -out ${ZAV_DEMO_SIGNING_KEY}.tmp)
  file(CHMOD ${ZAV_DEMO_SIGNING_KEY}.tmp PERMISSIONS OWNER_READ OWNER_WRITE)
  file(RENAME ${ZAV_DEMO_SIGNING_KEY}.tmp ${ZAV_DEMO_SIGNING_KEY})
endif()
_zav_openssl(pkey -in ${ZAV_DEMO_SIGNING_KEY} -pubout -out ${_zav_demo_public})

# The 32 raw bytes of an Ed25519 public key in PEM form, as 64 hex digits: the last 32 of
# its 44-byte DER encoding, after the fixed prefix that names the algorithm.
function(zav_raw_public_key pem out)
  set(_der ${ZAV_SIGNING_DIR}/raw.der)
  execute_process(COMMAND ${ZAV_OPENSSL} pkey -pubin -in ${pem} -outform DER -out ${_der}
                  RESULT_VARIABLE rc ERROR_QUIET)
  set(_hex "")
  if(rc EQUAL 0)
    file(READ ${_der} _hex HEX)
    file(REMOVE ${_der})
  endif()
  string(LENGTH "${_hex}" _length)
  if(NOT _length EQUAL 88 OR NOT _hex MATCHES "^302a300506032b6570032100([0-9a-f]+)$")
    message(FATAL_ERROR "${pem} is not an Ed25519 public key in PEM form")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

zav_raw_public_key(${_zav_demo_public} ZAV_DEMO_PUBLIC_KEY_HEX)
if(ZAV_VENDOR_PUBLIC_KEY STREQUAL "")  # never in a release: ZavOptions.cmake stops it
  set(_zav_vendor_hex ${ZAV_DEMO_PUBLIC_KEY_HEX})
  message(STATUS "zav trusts the build's demo signing key (set ZAV_VENDOR_PUBLIC_KEY for a release)")
else()
  zav_raw_public_key(${ZAV_VENDOR_PUBLIC_KEY} _zav_vendor_hex)
  if(ZAV_RELEASE AND _zav_vendor_hex STREQUAL ZAV_DEMO_PUBLIC_KEY_HEX)
    message(FATAL_ERROR "ZAV_VENDOR_PUBLIC_KEY ${ZAV_VENDOR_PUBLIC_KEY} is the build's demo key, "
                        "whose private half lies in the build tree: a release needs the vendor's")
  endif()
endif()

function(_zav_trusted_key_source backend hex)
  string(REGEX REPLACE "(..)" "0x\\1," _bytes ${hex})
  set(_file ${ZAV_SIGNING_DIR}/trusted_key_${backend}.c)
  file(CONFIGURE OUTPUT ${_file} CONTENT
"/* Made by cmake/ZavSigning.cmake: the Ed25519 public key whose signatures the update
 * library of this executable accepts on firmware images. */
__attribute__((visibility(\"default\"))) const unsigned char zav_trusted_image_key[32] = {
    ${_bytes}};
")
  set(ZAV_TRUSTED_KEY_SOURCE_${backend} ${_file} CACHE INTERNAL "")
endfunction()
_zav_trusted_key_source(hidraw ${_zav_vendor_hex})
_zav_trusted_key_source(dongle ${ZAV_DEMO_PUBLIC_KEY_HEX})
