// The host's expat, loaded from the pyexpat capsule, and its allocator.
#include "expat_pass.hpp"

#include <cstring>

namespace bathyra {
namespace expat {

namespace {

thread_local unsigned long failures = 0;

void *parser_malloc(size_t size)
{
    void *block = PyMem_Malloc(size);
    if (!block)
        ++failures;
    return block;
}
void *parser_realloc(void *block, size_t size)
{
    void *moved = PyMem_Realloc(block, size);
    if (!moved)
        ++failures;
    return moved;
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

unsigned long failed_allocations()
{
    return failures;
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
