# Everything that differs between builds is fixed here, at configure time: the tool itself
# reads no command line, environment or settings file.

option(ZAV_BUILD_TESTS "Build the tests" ON)
option(ZAV_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

set(ZAV_SERVICE_HOST "localhost" CACHE STRING
    "Host name of the cloud service (port 8443, HTTPS); no '/' and no ':'")
if(ZAV_SERVICE_HOST STREQUAL "")
  message(FATAL_ERROR "ZAV_SERVICE_HOST must not be empty")
endif()
string(FIND "${ZAV_SERVICE_HOST}" "/" _slash)
string(FIND "${ZAV_SERVICE_HOST}" ":" _colon)
if(NOT _slash EQUAL -1 OR NOT _colon EQUAL -1)
  message(FATAL_ERROR "ZAV_SERVICE_HOST '${ZAV_SERVICE_HOST}' must be a bare host name: "
                      "it may hold neither '/' nor ':'")
endif()

set(ZAV_CA_FILE "" CACHE FILEPATH
    "CA bundle that alone zav trusts for the service (the firmware download trusts it besides the system store); empty: the system trust store")

# A release is the build a package for users is made from: zav then trusts the vendor's key
# alone and looks for the dongle's own USB ids, which must be given; nothing has a default
# that only suits development (see cmake/ZavSigning.cmake for the key).
option(ZAV_RELEASE "Build a release: the vendor's public key and the dongle's USB ids are required"
       OFF)

if(ZAV_RELEASE)
  set(_zav_missing "")
  if("${ZAV_VENDOR_PUBLIC_KEY}" STREQUAL "")
    list(APPEND _zav_missing "the vendor's public key: -DZAV_VENDOR_PUBLIC_KEY=<Ed25519 key, PEM>")
  endif()
  if("${ZAV_USB_VID}" STREQUAL "" OR "${ZAV_USB_PID}" STREQUAL "")
    list(APPEND _zav_missing "the dongle's USB ids: -DZAV_USB_VID=0x.... -DZAV_USB_PID=0x....")
  endif()
  if(_zav_missing)
    list(JOIN _zav_missing "\n  " _zav_missing)
    message(FATAL_ERROR "A release needs\n  ${_zav_missing}")
  endif()
endif()

# The dongle's USB identity. The development defaults lie in the pid.codes test range, which
# any hobby device may carry: a release must name the dongle's own.
if(ZAV_RELEASE)
  set(_zav_default_vid "")
  set(_zav_default_pid "")
else()
  set(_zav_default_vid "0x1209")
  set(_zav_default_pid "0x0001")
endif()
set(ZAV_USB_VID "${_zav_default_vid}" CACHE STRING "USB vendor id of the Marlo dongle")
set(ZAV_USB_PID "${_zav_default_pid}" CACHE STRING "USB product id of the Marlo dongle")

# Each id as a number (ZAV_USB_<id>_VALUE) and as udev matches it, four lower-case hex digits
# (ZAV_UDEV_<id>).
foreach(_id VID PID)
  if(ZAV_USB_${_id} STREQUAL "")
    message(FATAL_ERROR "ZAV_USB_${_id} must not be empty")
  endif()
  if(NOT ZAV_USB_${_id} MATCHES "^(0x[0-9A-Fa-f]+|[0-9]+)$")
    message(FATAL_ERROR "ZAV_USB_${_id} '${ZAV_USB_${_id}}' is not a 16-bit USB id")
  endif()
  math(EXPR _value "${ZAV_USB_${_id}}")
  if(_value GREATER 65535)
    message(FATAL_ERROR "ZAV_USB_${_id} '${ZAV_USB_${_id}}' is not a 16-bit USB id")
  endif()
  set(ZAV_USB_${_id}_VALUE ${_value})
  math(EXPR _hex "${_value} + 65536" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${_hex}" 3 4 _hex)
  string(TOLOWER "${_hex}" ZAV_UDEV_${_id})
endforeach()
if(ZAV_RELEASE AND ZAV_USB_VID_VALUE EQUAL 4617 AND ZAV_USB_PID_VALUE EQUAL 1)
  message(FATAL_ERROR "ZAV_USB_VID/ZAV_USB_PID ${ZAV_USB_VID}:${ZAV_USB_PID} are the pid.codes test "
                      "ids of development builds: a release needs the dongle's own")
endif()

# libhiddfu is the tool's own: it takes the hid_* functions from the zav executable, so no other
# program can load it. It is installed into a folder of the tool's under the library folder.
set(ZAV_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zav)

if(ZAV_SANITIZE)
  set(_zav_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_zav_san})
  add_link_options(${_zav_san})
endif()
