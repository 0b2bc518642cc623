// The module's own XML layer: one pass of the host's expat parser over the
// document, collecting only the texts that the extraction routine reads,
// exactly as the element tree and its path searches would give them.  No
// element tree and no object per element is made.
#pragma once

#include "host_compat.hpp"
#include "owned_ref.hpp"

namespace bathyra {

// What the routine's searches would find.  An empty owner is an element
// that is not there; otherwise the element's text (a str, or None for an
// element without text).
struct StreamedDocument {
    OwnedRef begin_position;  // .//gml:beginPosition
    OwnedRef end_position;    // .//gml:endPosition
    OwnedRef minimum_value;   // .//gmd:minimumValue/gco:Real
    OwnedRef maximum_value;   // .//gmd:maximumValue/gco:Real
    OwnedRef citation;        // .//gmd:CI_Citation//gco:CharacterString
    // What the platform loop makes of the texts of
    // .//gmi:acquisitionInformation//gco:CharacterString in the order of
    // findall (an element below nested acquisition information elements
    // comes once for each of them): every text that is neither None nor a
    // placeholder, each followed by "," (for exact strs the same as the
    // loop's additions, made in one piece), then stripped of leading and
    // trailing commas, which line 37 strips anyway.
    OwnedRef platform_text;
};

// Takes the host's expat parser from the pyexpat capsule.  Returns false,
// with no exception pending, when it cannot be had.
bool load_expat() noexcept;

// Reads `document` (an exact str or bytes) the way the XML library's parser
// reads it.  Returns 1 with `out` filled; 0 when the document holds
// something that the pass does not reproduce exactly (a document type
// declaration, an encoding that expat does not know by itself, any parse
// error), with no exception pending; -1 with an exception pending.
int stream_document(PyObject *document, StreamedDocument &out) noexcept;

}  // namespace bathyra
