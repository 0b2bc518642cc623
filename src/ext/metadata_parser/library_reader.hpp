// The library way of reading the document: the host's element-tree library
// through `ET` and `XML_NS`, looked up again at every step.
#pragma once

#include "document_reader.hpp"

namespace bathyra {

class LibraryReader final : public DocumentReader {
  public:
    Line open(PyObject *metadata_xml) override;
    Line extent_text(ExtentField field, OwnedRef &text) override;
    Line platform_text(OwnedRef &text) override;
    Line citation_text(OwnedRef &text) override;

  private:
    // The routine's locals of this way, alive until the call ends.
    OwnedRef prefix_;
    OwnedRef uri_;
    OwnedRef root_;
    OwnedRef platform_novalid_;
    OwnedRef platforms_;
    OwnedRef p_;
    OwnedRef objnam_tag_;

    Line register_namespaces();
    Line collect_platforms(OwnedRef &text);
};

}  // namespace bathyra
