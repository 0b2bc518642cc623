# Picks the interpreter to build for: the only place that knows where the
# supported hosts live and which one is the default.
#
# As an include (from CMakeLists.txt) it leaves the path in the cache
# variable PYTHON.  PYTHON (cache variable, or the environment variable of
# the same name) wins; any CPython from 3.9 to 3.13 will do.  Otherwise
# CPython 3.9 when one is present, else the newest CPython 3.9 to 3.13
# found.
#
# As a script it prints the path, for the dev script and for anyone else:
#   cmake -P cmake/ChooseInterpreter.cmake
#       the interpreter a build would choose (PYTHON, else the default);
#       fails with a message when there is none
#   cmake -DMINOR=3.10 -P cmake/ChooseInterpreter.cmake
#       the newest CPython 3.10, or nothing when there is none
#
# Candidates for each 3.N: the interpreters under $PYENV_ROOT/versions/3.N.*
# (default ~/.pyenv), then python3.N on PATH; then python3 on PATH.  Each
# candidate is run, since a version manager's shim may exist without an
# interpreter behind it, and is recorded under the path it reports for
# itself (sys.executable), so that a shim never ends up in a build.
# Versions compare naturally: 3.9.18 is newer than 3.9.2.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  # Run on its own: the policies of the project's minimum version.
  cmake_minimum_required(VERSION 3.21)
endif()

set(BATHYRA_SUPPORTED_MINORS 9 10 11 12 13)

# Sets <out_version> to the "major.minor.micro" of `candidate` and
# <out_path> to its sys.executable when it is a CPython that runs, else
# both to "".
function(_bathyra_probe candidate out_version out_path)
  execute_process(
    COMMAND "${candidate}" -c
      "import sys, platform; print(platform.python_implementation(), '%d.%d.%d' % sys.version_info[:3], sys.executable)"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND out MATCHES "^CPython ([0-9]+\\.[0-9]+\\.[0-9]+) (/.+)$")
    set(${out_version} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    set(${out_path} "${CMAKE_MATCH_2}" PARENT_SCOPE)
  else()
    set(${out_version} "" PARENT_SCOPE)
    set(${out_path} "" PARENT_SCOPE)
  endif()
endfunction()

# Sets <out> to the candidate paths for the minor versions `minors`
# (a list of N of 3.N), in the order of preference among equal versions.
function(_bathyra_candidates minors out)
  if(DEFINED ENV{PYENV_ROOT} AND NOT "$ENV{PYENV_ROOT}" STREQUAL "")
    set(pyenv_root "$ENV{PYENV_ROOT}")
  elseif(DEFINED ENV{HOME} AND NOT "$ENV{HOME}" STREQUAL "")
    set(pyenv_root "$ENV{HOME}/.pyenv")
  else()
    set(pyenv_root "/root/.pyenv")
  endif()
  set(candidates "")
  foreach(minor IN LISTS minors)
    file(GLOB found "${pyenv_root}/versions/3.${minor}.*/bin/python3.${minor}")
    list(SORT found COMPARE NATURAL ORDER DESCENDING)
    list(APPEND candidates ${found})
    unset(on_path)
    find_program(on_path NAMES python3.${minor} NO_CACHE)
    if(on_path)
      list(APPEND candidates "${on_path}")
    endif()
  endforeach()
  set(${out} "${candidates}" PARENT_SCOPE)
endfunction()

# Sets <out_path> and <out_version> to the newest CPython 3.N among
# `candidates` whose minor N is in `minors`; the first one wins among equal
# versions.  Both are "" when there is none.
function(_bathyra_newest candidates minors out_path out_version)
  set(best "")
  set(best_version "")
  foreach(candidate IN LISTS candidates)
    _bathyra_probe("${candidate}" version path)
    if(version STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "^3\\.([0-9]+)\\..*$" "\\1" minor "${version}")
    if(minor IN_LIST minors AND
       (best STREQUAL "" OR version VERSION_GREATER best_version))
      set(best "${path}")
      set(best_version "${version}")
    endif()
  endforeach()
  set(${out_path} "${best}" PARENT_SCOPE)
  set(${out_version} "${best_version}" PARENT_SCOPE)
endfunction()

# Sets <out_path> and <out_version> to the default interpreter: the newest
# CPython 3.9, else the newest CPython 3.9 to 3.13.
function(_bathyra_default out_path out_version)
  _bathyra_candidates("${BATHYRA_SUPPORTED_MINORS}" candidates)
  unset(python3)
  find_program(python3 NAMES python3 NO_CACHE)
  if(python3)
    list(APPEND candidates "${python3}")
  endif()
  _bathyra_newest("${candidates}" 9 path version)
  if(path STREQUAL "")
    _bathyra_newest("${candidates}" "${BATHYRA_SUPPORTED_MINORS}"
                    path version)
  endif()
  set(${out_path} "${path}" PARENT_SCOPE)
  set(${out_version} "${version}" PARENT_SCOPE)
endfunction()

set(_bathyra_none_found
  "No CPython 3.9 to 3.13 interpreter found (neither under "
  "~/.pyenv/versions/3.N.* nor python3.N or python3 on PATH). Point the "
  "build at one with -DPYTHON=/path/to/python3.9, or set the environment "
  "variable PYTHON for the README's commands.")

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  # Script mode: print the path on standard output.
  if(DEFINED MINOR)
    if(NOT MINOR MATCHES "^3\\.([0-9]+)$")
      message(FATAL_ERROR "MINOR must read 3.N, not '${MINOR}'")
    endif()
    set(_minor "${CMAKE_MATCH_1}")
    _bathyra_candidates("${_minor}" _candidates)
    _bathyra_newest("${_candidates}" "${_minor}" _path _version)
  elseif(DEFINED PYTHON AND NOT PYTHON STREQUAL "")
    set(_path "${PYTHON}")
  elseif(DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
    set(_path "$ENV{PYTHON}")
  else()
    _bathyra_default(_path _version)
    if(_path STREQUAL "")
      message(FATAL_ERROR ${_bathyra_none_found})
    endif()
  endif()
  if(NOT _path STREQUAL "")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${_path}")
  endif()
  return()
endif()

if(NOT PYTHON AND DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  set(PYTHON "$ENV{PYTHON}" CACHE FILEPATH "Interpreter to build for" FORCE)
endif()

if(NOT PYTHON)
  _bathyra_default(_bathyra_found _bathyra_found_version)
  if(_bathyra_found STREQUAL "")
    message(FATAL_ERROR ${_bathyra_none_found})
  endif()
  set(PYTHON "${_bathyra_found}" CACHE FILEPATH "Interpreter to build for"
      FORCE)
  message(STATUS "No PYTHON given: chose CPython ${_bathyra_found_version}")
endif()
