# Writes the Python module bathyra/_traceback_lines.py into the build tree
# from the rows of src/ext/metadata_parser/traceback_lines.hpp, so that the line numbers
# of traceback entries are written down once.  Sets BATHYRA_LINES_PY.

set(_lines_header "${CMAKE_SOURCE_DIR}/src/ext/metadata_parser/traceback_lines.hpp")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${_lines_header}")
file(READ "${_lines_header}" _text)
string(REGEX MATCHALL "X\\([a-z_0-9]+, [0-9]+\\)" _rows "${_text}")
set(_members "")
foreach(_row IN LISTS _rows)
  string(REGEX REPLACE "^X\\(([a-z_0-9]+), ([0-9]+)\\)$"
         "    \\1 = \\2\n" _member "${_row}")
  string(APPEND _members "${_member}")
endforeach()
if(_members STREQUAL "")
  message(FATAL_ERROR "no rows found in ${_lines_header}")
endif()
set(BATHYRA_LINES_PY "${CMAKE_BINARY_DIR}/bathyra/_traceback_lines.py")
file(CONFIGURE OUTPUT "${BATHYRA_LINES_PY}" CONTENT
"\"\"\"The source lines that the traceback entries of
bathyra.metadata_parser name, one member per step.

Written by the build from the module's own table; do not edit.
\"\"\"
import enum


class Line(enum.IntEnum):
@_members@")
