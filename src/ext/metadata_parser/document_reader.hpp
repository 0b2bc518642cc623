// How the extraction routine reads the document: one interface, two ways.
//
// The library way calls the host's XML library (register, parse, find,
// findall) in the order of the routine's steps, looking `ET` and `XML_NS`
// up at each step, so that every step sees the globals of its moment.  The
// streamed way has read the whole document in one expat pass before the
// first step and hands out what the library's searches would have found;
// it is only taken when nothing a step could look up differs from import.
#pragma once

#include "host_compat.hpp"
#include "owned_ref.hpp"
#include "traceback_lines.hpp"

namespace bathyra {

// The four elements of the temporal and vertical extents, in the order of
// the routine's finds.
enum class ExtentField : int {
    begin_position,
    end_position,
    minimum_value,
    maximum_value,
};

// Every read returns Line{} on success, else the line of the failing step
// with its exception pending.  Locals that the library way binds (the
// root, the prefix loop's last pair, the platform elements) stay with the
// reader, which lives until the call ends.
class DocumentReader {
  public:
    virtual ~DocumentReader() noexcept(false) = default;

    // Registers the namespaces and parses the document.
    virtual Line open(PyObject *metadata_xml) = 0;

    // The text of the first element of the field's path; a missing element
    // fails as reading `text` from None does.
    virtual Line extent_text(ExtentField field, OwnedRef &text) = 0;

    // The platform texts (neither None nor a placeholder), each followed
    // by ",": what is left for stripping.
    virtual Line platform_text(OwnedRef &text) = 0;

    // The first character string under a citation, or "VACIO" when there
    // is none.
    virtual Line citation_text(OwnedRef &text) = 0;
};

}  // namespace bathyra
