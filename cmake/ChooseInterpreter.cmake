# Picks the interpreter to build for and leaves its path in PYTHON.
#
# PYTHON (cache variable, or the environment variable of the same name) wins;
# any CPython from 3.9 to 3.13 will do.  Otherwise CPython 3.9 when one is
# present (python3.9 on PATH when it actually runs, since a version
# manager's shim may exist without an interpreter behind it, else
# /root/.pyenv/versions/3.9.*), else the newest CPython 3 found.

set(BATHYRA_SUPPORTED_MINORS 9 10 11 12 13)

# Sets <result> to the "major.minor" that `candidate` reports, or "".
function(_bathyra_version candidate result)
  execute_process(
    COMMAND "${candidate}" -c
      "import sys, platform; print(platform.python_implementation(), '%d.%d' % sys.version_info[:2])"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND out MATCHES "^CPython ([0-9]+\\.[0-9]+)$")
    set(${result} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()

if(NOT PYTHON AND DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  set(PYTHON "$ENV{PYTHON}" CACHE FILEPATH "Interpreter to build for" FORCE)
endif()

if(NOT PYTHON)
  set(_candidates "")
  foreach(_minor IN LISTS BATHYRA_SUPPORTED_MINORS)
    find_program(_bathyra_on_path_${_minor} NAMES python3.${_minor} NO_CACHE)
    if(_bathyra_on_path_${_minor})
      list(APPEND _candidates "${_bathyra_on_path_${_minor}}")
    endif()
    file(GLOB _pyenv "/root/.pyenv/versions/3.${_minor}.*/bin/python3.${_minor}")
    list(SORT _pyenv COMPARE NATURAL ORDER DESCENDING)
    list(APPEND _candidates ${_pyenv})
  endforeach()
  find_program(_bathyra_python3 NAMES python3 NO_CACHE)
  if(_bathyra_python3)
    list(APPEND _candidates "${_bathyra_python3}")
  endif()
  set(_found "")
  set(_found_version "")
  foreach(_candidate IN LISTS _candidates)
    _bathyra_version("${_candidate}" _version)
    if(_version STREQUAL "")
      continue()
    endif()
    if(_version STREQUAL "3.9")
      set(_found "${_candidate}")
      set(_found_version "${_version}")
      break()
    endif()
    string(REPLACE "3." "" _minor "${_version}")
    if(_minor IN_LIST BATHYRA_SUPPORTED_MINORS AND
       (_found_version STREQUAL "" OR _version VERSION_GREATER _found_version))
      set(_found "${_candidate}")
      set(_found_version "${_version}")
    endif()
  endforeach()
  if(NOT _found)
    message(FATAL_ERROR
      "No CPython 3.9 to 3.13 interpreter found (neither python3.X on PATH "
      "nor /root/.pyenv/versions/3.X.*). Point the build at one with "
      "-DPYTHON=/path/to/python3.9, or set the environment variable PYTHON "
      "for the README's commands.")
  endif()
  set(PYTHON "${_found}" CACHE FILEPATH "Interpreter to build for" FORCE)
  message(STATUS "No PYTHON given: chose CPython ${_found_version}")
endif()

message(STATUS "Building for the interpreter ${PYTHON}")
