# The folder rules of docs/architecture.md, checked on every build: which folders a product
# folder may include headers from, and which folders may not see a widget. Run as a script:
#
#   cmake -DSOURCE_DIR=<repository> -DWIDGETS_DIR=<QtWidgets include folder> [-DSTAMP=<file>]
#         -P cmake/ZavLayoutRules.cmake
#
# It names every include that crosses a forbidden edge and fails when there is one.
cmake_minimum_required(VERSION 3.25)

# Folder: the project folders its sources may include from (itself included).
set(_allowed_app app controls service device support res)
set(_allowed_controls controls support res)
set(_allowed_service service support)
set(_allowed_device device hiddfu support)
set(_allowed_support support)
set(_allowed_res res)
set(_allowed_hiddfu hiddfu)
set(_allowed_dongle dongle hiddfu)
set(_allowed_refservice refservice)
set(_product_folders app controls service device support res hiddfu dongle refservice)
set(_project_folders ${_product_folders} tests bench fuzz)
# Folders whose code must run without a window: no widget header.
set(_no_widgets service device support res hiddfu dongle refservice)

set(_violations "")
foreach(folder IN LISTS _product_folders)
  file(GLOB_RECURSE _sources RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h.in)
  foreach(source IN LISTS _sources)
    file(STRINGS ${SOURCE_DIR}/${source} _includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS _includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" top "${header}")
      if(header MATCHES "/" AND top IN_LIST _project_folders AND NOT top IN_LIST _allowed_${folder})
        list(APPEND _violations "${source}: ${folder}/ may not include ${header}")
      endif()
      if(folder IN_LIST _no_widgets AND
         (top STREQUAL "QtWidgets" OR (NOT header MATCHES "/" AND EXISTS ${WIDGETS_DIR}/${header})))
        list(APPEND _violations "${source}: ${folder}/ may not include the widget header ${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(_violations)
  list(JOIN _violations "\n  " _text)
  message(FATAL_ERROR "Includes across the folder rules (docs/architecture.md):\n  ${_text}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
