// Conversion of element texts (and other host objects) to native doubles.
//
// A plain number text is read by the module's own fast parser: it trims
// white space, recognises the infinity and NaN spellings, drops digit
// group underscores and lets the host's string-to-double routine read the
// digits.  Every text that the fast parser does not accept goes unchanged
// to the host's float conversion, whose result or exception stands.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// Returns the value of `obj` (borrowed).  Failure is -1.0 with an exception
// pending; -1.0 with no exception pending is a valid value, so callers test
// both.
double object_to_double(PyObject *obj);

// Exposed for the unit's own tests of the pure text scanning.
namespace number_text {

// -1.0: not a text the fast parser handles; 0.0: an ordinary number
// follows; otherwise the infinity or NaN that the text spells.
double parse_inf_nan(const char *text, Py_ssize_t length) noexcept;

// Copies `text` without its underscores into `buffer` (room for length + 1
// bytes) and returns the position of the terminating NUL, or null when an
// underscore, '.', 'e' or 'E' starts or ends the text or follows another
// of them.
char *strip_underscores(const char *text, Py_ssize_t length,
                        char *buffer) noexcept;

// The bounds of `text` (a ready str) without the white space around it,
// by the host's own test of white space.
void trim_white_space(PyObject *text, Py_ssize_t &start,
                      Py_ssize_t &end) noexcept;

}  // namespace number_text

}  // namespace bathyra
