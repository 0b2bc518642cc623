// The streamed way of reading the document: one pass of the host's expat
// parser, collecting only the texts that the routine reads, exactly as the
// element tree and its path searches would give them.  No element tree and
// no object per element is made.
#pragma once

#include "document_reader.hpp"

namespace bathyra {

// Takes the host's expat parser from the pyexpat capsule.  Returns false,
// with no exception pending, when it cannot be had.
bool load_expat();

class StreamedReader final : public DocumentReader {
  public:
    // Reads `document` (an exact str or bytes) the way the XML library's
    // parser reads it.  Returns 1 when it did; 0 when the document holds
    // something that the pass does not reproduce exactly (a document type
    // declaration, an encoding that expat does not know by itself, any
    // parse error), with no exception pending; -1 with an exception
    // pending.
    int read(PyObject *document);

    // Nothing is left to do: registering the pairs again would change
    // nothing, and the document is read.
    Line open(PyObject *) override { return no_failure; }
    Line extent_text(ExtentField field, OwnedRef &text) override;
    Line platform_text(OwnedRef &text) override;
    Line citation_text(OwnedRef &text) override;

  private:
    // What the searches would find.  An empty owner is an element that is
    // not there; otherwise the element's text (a str, or None for an
    // element without text).
    OwnedRef extents_[4];
    OwnedRef citation_;
    // What the platform loop makes of the texts of
    // .//gmi:acquisitionInformation//gco:CharacterString in the order of
    // findall (an element below nested acquisition information elements
    // comes once for each of them): every text that is neither None nor a
    // placeholder, each followed by "," (for exact strs the same as the
    // loop's additions, made in one piece), then stripped of leading and
    // trailing commas, which the routine strips anyway.
    OwnedRef platform_text_;
};

}  // namespace bathyra
