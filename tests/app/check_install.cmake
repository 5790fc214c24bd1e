# Installs the build into a staging folder and checks that the installed zav resolves its
# update library from the installed library folder, with the desktop entry and the icon.
#   -DBUILD=<build tree> -DSTAGE=<folder> -DPREFIX= -DBINDIR= -DLIBDIR= -DDATADIR=
file(REMOVE_RECURSE ${STAGE})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE} ${CMAKE_COMMAND} --install ${BUILD}
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc})")
endif()
set(root ${STAGE}${PREFIX})
foreach(file ${BINDIR}/zav ${DATADIR}/applications/zav.desktop ${DATADIR}/pixmaps/zav.png)
  if(NOT EXISTS ${root}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
if(EXISTS ${root}/${BINDIR}/zav-demo)
  message(FATAL_ERROR "zav-demo is for the build tree only")
endif()
execute_process(COMMAND ldd ${root}/${BINDIR}/zav OUTPUT_VARIABLE libs RESULT_VARIABLE rc)
string(REGEX MATCH "libhiddfu[^\n]*" line "${libs}")
string(REGEX REPLACE "^.*=> ([^ ]+).*$" "\\1" found "${line}")
get_filename_component(found "${found}" REALPATH)
get_filename_component(wanted "${root}/${LIBDIR}" REALPATH)
get_filename_component(found_dir "${found}" DIRECTORY)
if(NOT found_dir STREQUAL wanted)
  message(FATAL_ERROR "the installed zav does not find the installed libhiddfu: '${line}'")
endif()
file(REMOVE_RECURSE ${STAGE})
