# The stack, found through CMake packages where Debian ships them and pkg-config elsewhere.
# Imported targets used by the subsystems:
#   Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Test   CURL::libcurl   nlohmann_json::nlohmann_json
#   GTest::gtest   SQLite::SQLite3   OpenSSL::SSL OpenSSL::Crypto   Threads::Threads
#   LibLZMA::LibLZMA      liblzma, the compressed payloads of image format 3
#   Zav::httplib          cpp-httplib (split header, with OpenSSL)
#   Zav::hidapi_headers   hidapi.h only: code that calls hid_* without linking a backend
#   Zav::hidapi_hidraw    the static hidraw backend (needs libudev)

find_package(Threads REQUIRED)
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Test)
find_package(CURL 7.88 REQUIRED)
find_package(nlohmann_json 3.11.2 EXACT REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(LibLZMA 5.4 REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(ZAV_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(Zav::httplib ALIAS PkgConfig::ZAV_HTTPLIB)

pkg_check_modules(ZAV_HIDAPI REQUIRED hidapi-hidraw)
pkg_check_modules(ZAV_UDEV REQUIRED IMPORTED_TARGET libudev)
add_library(zav_hidapi_headers INTERFACE)
target_include_directories(zav_hidapi_headers SYSTEM INTERFACE ${ZAV_HIDAPI_INCLUDE_DIRS})
add_library(Zav::hidapi_headers ALIAS zav_hidapi_headers)

find_library(ZAV_HIDAPI_HIDRAW_STATIC NAMES libhidapi-hidraw.a REQUIRED)
add_library(zav_hidapi_hidraw STATIC IMPORTED GLOBAL)
set_target_properties(zav_hidapi_hidraw PROPERTIES IMPORTED_LOCATION ${ZAV_HIDAPI_HIDRAW_STATIC})
target_link_libraries(zav_hidapi_hidraw INTERFACE zav_hidapi_headers PkgConfig::ZAV_UDEV)
add_library(Zav::hidapi_hidraw ALIAS zav_hidapi_hidraw)

find_program(ZAV_OPENSSL openssl REQUIRED)
find_program(ZAV_LOCALEDEF localedef)
find_program(ZAV_CURL_CLI curl)

set(CMAKE_AUTOMOC OFF)
set(CMAKE_AUTOUIC OFF)
set(CMAKE_AUTORCC OFF)
