# The folder rules must bite: a tree with one include across each kind of forbidden edge
# fails the check, and names each of them.
cmake_minimum_required(VERSION 3.25)
set(tree ${WORK_DIR}/layout_rules_tree)
file(REMOVE_RECURSE ${tree})
file(WRITE ${tree}/service/a.cpp "#include \"controls/my_button.h\"\n#include <QLabel>\n")
file(WRITE ${tree}/device/b.h "  #  include <QtWidgets/QDialog>\n")
file(WRITE ${tree}/res/c.cpp "#include \"controls/template_dialog.h\"\n")
file(WRITE ${tree}/controls/d.cpp "#include \"app/zav_dlg.h\"\n#include <QLabel>\n")
file(WRITE ${tree}/app/e.cpp "#include \"device/device.h\"\n#include <QLabel>\n")
execute_process(
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -DWIDGETS_DIR=${WIDGETS_DIR}
          -P ${RULES}
  RESULT_VARIABLE result ERROR_VARIABLE output)
set(expected
    "service/a.cpp: service/ may not include controls/my_button.h"
    "service/a.cpp: service/ may not include the widget header QLabel"
    "device/b.h: device/ may not include the widget header QtWidgets/QDialog"
    "res/c.cpp: res/ may not include controls/template_dialog.h"
    "controls/d.cpp: controls/ may not include app/zav_dlg.h")
if(result EQUAL 0)
  message(FATAL_ERROR "the check passed a tree that breaks the rules")
endif()
foreach(line IN LISTS expected)
  string(FIND "${output}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not named: ${line}\n${output}")
  endif()
endforeach()
foreach(allowed "controls/d.cpp: controls/ may not include the widget header" "app/e.cpp")
  string(FIND "${output}" "${allowed}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "an allowed include was named: ${allowed}\n${output}")
  endif()
endforeach()
