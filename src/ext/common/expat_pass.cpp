// The host's expat, loaded from the pyexpat capsule, and its allocator.
#include "expat_pass.hpp"

#include <cstring>

namespace bathyra {
namespace expat {

namespace {

void *parser_malloc(size_t size)
{
    return PyMem_Malloc(size);
}
void *parser_realloc(void *block, size_t size)
{
    return PyMem_Realloc(block, size);
}
void parser_free(void *block)
{
    PyMem_Free(block);
}

const MemorySuite memory = {parser_malloc, parser_realloc, parser_free};

}  // namespace

const MemorySuite &host_memory()
{
    return memory;
}

bool load(Library &library, PyObject *salt_source)
{
    if (library.capi)
        return true;
    auto *loaded =
        static_cast<const Capi *>(PyCapsule_Import(capsule_name, 0));
    if (!loaded) {
        PyErr_Clear();
        return false;
    }
    if (!loaded->magic || std::strcmp(loaded->magic, capsule_magic) != 0 ||
        loaded->size < required_size || !loaded->Parse ||
        !loaded->ParserCreate_MM || !loaded->ParserFree ||
        !loaded->SetCharacterDataHandler || !loaded->SetElementHandler ||
        !loaded->SetUnknownEncodingHandler || !loaded->SetUserData ||
        !loaded->SetStartDoctypeDeclHandler || !loaded->SetEncoding ||
        !loaded->ErrorString || !loaded->GetErrorCode ||
        !loaded->GetErrorLineNumber || !loaded->GetErrorColumnNumber)
        return false;
    library.capi = loaded;
    if (loaded->size >= salted_size && loaded->SetHashSalt) {
        Py_hash_t hash = PyObject_Hash(salt_source);
        if (hash == -1)
            PyErr_Clear();
        else
            library.salt = static_cast<unsigned long>(hash);
    }
    return true;
}

}  // namespace expat
}  // namespace bathyra
