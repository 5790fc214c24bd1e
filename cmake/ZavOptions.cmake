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
    "CA bundle that zav trusts for the service; empty means the system trust store")

# The dongle's USB identity. The defaults lie in the pid.codes test range.
set(ZAV_USB_VID "0x1209" CACHE STRING "USB vendor id of the Marlo dongle")
set(ZAV_USB_PID "0x0001" CACHE STRING "USB product id of the Marlo dongle")

# libhiddfu is the tool's own: it takes the hid_* functions from the zav executable, so no other
# program can load it. It is installed into a folder of the tool's under the library folder.
set(ZAV_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zav)

if(ZAV_SANITIZE)
  set(_zav_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_zav_san})
  add_link_options(${_zav_san})
endif()
