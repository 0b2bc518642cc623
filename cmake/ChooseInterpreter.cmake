# Picks the interpreter to build for and leaves its path in PYTHON.
#
# PYTHON (cache variable, or the environment variable of the same name) wins.
# Otherwise CPython 3.9: python3.9 on PATH when it actually runs (a version
# manager's shim may exist without a working interpreter behind it), else
# the newest /root/.pyenv/versions/3.9.*.

function(_bathyra_runs candidate result)
  execute_process(
    COMMAND "${candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND out STREQUAL "3.9")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

if(NOT PYTHON AND DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  set(PYTHON "$ENV{PYTHON}" CACHE FILEPATH "Interpreter to build for" FORCE)
endif()

if(NOT PYTHON)
  set(_found "")
  find_program(_bathyra_py39 NAMES python3.9 NO_CACHE)
  if(_bathyra_py39)
    _bathyra_runs("${_bathyra_py39}" _ok)
    if(_ok)
      set(_found "${_bathyra_py39}")
    endif()
  endif()
  if(NOT _found)
    file(GLOB _candidates "/root/.pyenv/versions/3.9.*/bin/python3.9")
    list(SORT _candidates COMPARE NATURAL ORDER DESCENDING)
    foreach(_candidate IN LISTS _candidates)
      _bathyra_runs("${_candidate}" _ok)
      if(_ok)
        set(_found "${_candidate}")
        break()
      endif()
    endforeach()
  endif()
  if(NOT _found)
    message(FATAL_ERROR
      "No CPython 3.9 interpreter found (neither a working python3.9 on PATH "
      "nor /root/.pyenv/versions/3.9.*). Point the build at one with "
      "-DPYTHON=/path/to/python3.9, or set the environment variable PYTHON "
      "for the README's commands.")
  endif()
  set(PYTHON "${_found}" CACHE FILEPATH "Interpreter to build for" FORCE)
endif()

message(STATUS "Building for the interpreter ${PYTHON}")
