// The static table behind the string constants, and their construction.
#include "string_constants.hpp"

#include "module_state.hpp"
#include "owned_ref.hpp"

namespace bathyra {

namespace {

struct StringSpec {
    const char *bytes;
    Py_ssize_t size_with_nul;
    bool interned;
};

const StringSpec string_specs[string_count] = {
#define BATHYRA_STRING_SPEC(id, text, interned) {text, sizeof(text), interned},
    BATHYRA_STRING_TABLE(BATHYRA_STRING_SPEC)
#undef BATHYRA_STRING_SPEC
};

}  // namespace

int make_string_constants()
{
    for (int i = 0; i < string_count; ++i) {
        const StringSpec &spec = string_specs[i];
        OwnedRef made(
            PyUnicode_DecodeUTF8(spec.bytes, spec.size_with_nul - 1, nullptr));
        if (!made)
            return -1;
        if (spec.interned) {
            PyObject *s = made.release();
            PyUnicode_InternInPlace(&s);
            made.reset(s);
        }
        if (PyObject_Hash(made.get()) == -1)
            return -1;
        replace_held(state.strings[i], made.release());
    }
    return 0;
}

}  // namespace bathyra
