# The release configuration stops at configure time unless it is given the vendor's public key
# and the dongle's own USB ids, and refuses the demo key; given them, zav trusts that key, the
# udev rule names those ids and the package carries the bare version, while the development
# build's package version says what it is. Each configure runs in a folder of its own under
# WORK_DIR, from SOURCE_DIR's "release" preset.
#
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DOPENSSL=... -DDEV_BUILD=<the build under test>
#         -P tests/release_configure_test.cmake
cmake_minimum_required(VERSION 3.25)
set(work ${WORK_DIR}/release_configure)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
execute_process(COMMAND ${OPENSSL} genpkey -algorithm ed25519 -out ${work}/vendor.pem
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${OPENSSL} pkey -in ${work}/vendor.pem -pubout -out ${work}/vendor.pub.pem
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${OPENSSL} pkey -pubin -in ${work}/vendor.pub.pem -outform DER
                        -out ${work}/vendor.der COMMAND_ERROR_IS_FATAL ANY)
file(READ ${work}/vendor.der _der HEX)
string(SUBSTRING "${_der}" 24 64 _vendor_hex)
string(REGEX REPLACE "(..)" "0x\\1," _vendor_bytes "${_vendor_hex}")

set(_case 0)
# configure(<0 or 1: whether it must succeed> <text its output must hold> <cache settings>...)
function(configure succeeds expected)
  math(EXPR _n "${_case} + 1")
  set(_case ${_n} PARENT_SCOPE)
  set(build ${work}/build-${_n})
  set(build ${build} PARENT_SCOPE)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} --preset release -B ${build} ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REPLACE "\n" " " text "${out}${err}")
  string(REGEX REPLACE " +" " " text "${text}")
  if((rc EQUAL 0) AND NOT succeeds)
    message(FATAL_ERROR "configure ${_n} (${ARGN}) passed, but must stop")
  elseif(NOT (rc EQUAL 0) AND succeeds)
    message(FATAL_ERROR "configure ${_n} (${ARGN}) stopped:\n${out}${err}")
  endif()
  string(FIND "${text}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "configure ${_n} (${ARGN}) does not say '${expected}':\n${out}${err}")
  endif()
endfunction()

set(ids -DZAV_USB_VID=0x2e8a -DZAV_USB_PID=0x10ab)
set(key -DZAV_VENDOR_PUBLIC_KEY=${work}/vendor.pub.pem)
configure(0 "the vendor's public key: -DZAV_VENDOR_PUBLIC_KEY")
configure(0 "the dongle's USB ids: -DZAV_USB_VID=0x.... -DZAV_USB_PID=0x...." ${key})
configure(0 "the vendor's public key" ${ids})
configure(0 "are the pid.codes test ids" ${key} -DZAV_USB_VID=0x1209 -DZAV_USB_PID=0x0001)
# The demo key of the very build, made there before the vendor's key is read.
math(EXPR _next "${_case} + 1")
configure(0 "is the build's demo key"
          ${ids} -DZAV_VENDOR_PUBLIC_KEY=${work}/build-${_next}/signing/demo-signing.pub.pem)
configure(1 "Generating done" ${key} ${ids})

file(READ ${build}/signing/trusted_key_hidraw.c _trusted)
string(FIND "${_trusted}" "${_vendor_bytes}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "zav of the release does not trust the vendor's key:\n${_trusted}")
endif()
file(STRINGS ${build}/hiddfu/70-zav-marlo.rules _rule REGEX "idVendor")
if(NOT _rule MATCHES "ATTRS\\{idVendor\\}==\"2e8a\", ATTRS\\{idProduct\\}==\"10ab\"")
  message(FATAL_ERROR "the release's udev rule: ${_rule}")
endif()
foreach(_tree ${build} ${DEV_BUILD})
  file(STRINGS ${_tree}/CPackConfig.cmake _version REGEX "^set\\(CPACK_PACKAGE_VERSION ")
  list(APPEND _versions "${_version}")
endforeach()
if(NOT _versions STREQUAL "set(CPACK_PACKAGE_VERSION \"1.0.0\");set(CPACK_PACKAGE_VERSION \"1.0.0~dev\")")
  message(FATAL_ERROR "package versions of the release and the development build: ${_versions}")
endif()
file(REMOVE_RECURSE ${work})
