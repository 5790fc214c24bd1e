# zav_link_hid_backend(<executable> hidraw|dongle)
#
# Puts the 18 hid_* functions into <executable> and exports exactly those, so that the
# update library (libhiddfu, which only includes hidapi.h) finds them when it is loaded:
#   hidraw  hidapi's static hidraw backend, for the tool on real hardware
#   dongle  the virtual dongle, for the demo build and the tests
# The backend is linked whole: the executable's own code calls no hid_* function, and the
# linker would otherwise leave it out. With the backend goes the image signing key that the
# library checks images against before it asks the dongle to take one (zav_trusted_image_key,
# cmake/ZavSigning.cmake): the vendor's for hidraw, the demo key that the virtual dongle holds
# for dongle.

set(ZAV_HID_EXPORTS
    hid_init hid_exit hid_enumerate hid_free_enumeration hid_open hid_open_path hid_write
    hid_read_timeout hid_read hid_set_nonblocking hid_send_feature_report
    hid_get_feature_report hid_close hid_get_manufacturer_string hid_get_product_string
    hid_get_serial_number_string hid_get_indexed_string hid_error
    CACHE INTERNAL "The hid_* functions an executable exports to the update library")

set(_zav_hid_list "{\n")
foreach(_fn IN LISTS ZAV_HID_EXPORTS ITEMS zav_trusted_image_key)
  string(APPEND _zav_hid_list "  ${_fn};\n")
endforeach()
string(APPEND _zav_hid_list "};\n")
set(ZAV_HID_EXPORT_LIST ${CMAKE_BINARY_DIR}/zav-hid-exports.list CACHE INTERNAL "")
file(CONFIGURE OUTPUT ${ZAV_HID_EXPORT_LIST} CONTENT "${_zav_hid_list}")

function(zav_link_hid_backend target backend)
  if(backend STREQUAL "hidraw")
    set(_lib Zav::hidapi_hidraw)
  elseif(backend STREQUAL "dongle")
    set(_lib zav_dongle)
  else()
    message(FATAL_ERROR "zav_link_hid_backend: backend must be hidraw or dongle, not '${backend}'")
  endif()
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${_lib}>")
  target_sources(${target} PRIVATE ${ZAV_TRUSTED_KEY_SOURCE_${backend}})
  target_link_options(${target} PRIVATE "LINKER:--dynamic-list=${ZAV_HID_EXPORT_LIST}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ZAV_HID_EXPORT_LIST})
  set_property(TARGET ${target} PROPERTY ZAV_HID_BACKEND ${backend})
endfunction()
