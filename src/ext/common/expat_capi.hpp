// The host's expat parser as the pyexpat module hands it out: the layout of
// its "pyexpat.expat_CAPI" capsule and the expat types that it uses,
// declared here so that the module needs no expat headers.  Functions the
// module never calls are kept as untyped slots; only their size matters.
#pragma once

#include <cstddef>

namespace bathyra {
namespace expat {

using Char = char;  // the host's expat reports UTF-8
struct ParserStruct;
using Parser = ParserStruct *;

constexpr int status_error = 0;
constexpr int status_ok = 1;

struct MemorySuite {
    void *(*malloc_fcn)(size_t size);
    void *(*realloc_fcn)(void *block, size_t size);
    void (*free_fcn)(void *block);
};

using StartElementHandler = void (*)(void *user, const Char *name,
                                     const Char **attributes);
using EndElementHandler = void (*)(void *user, const Char *name);
using CharacterDataHandler = void (*)(void *user, const Char *text,
                                      int length);
using StartDoctypeDeclHandler = void (*)(void *user, const Char *name,
                                         const Char *system_id,
                                         const Char *public_id,
                                         int has_internal_subset);
using UnknownEncodingHandler = int (*)(void *data, const Char *name,
                                       void *info);
using Untyped = void (*)();

constexpr const char capsule_name[] = "pyexpat.expat_CAPI";
constexpr const char capsule_magic[] = "pyexpat.expat_CAPI 1.1";

// Fields in the capsule's order; new hosts only add at the end.
struct Capi {
    char *magic;
    int size;
    int major_version;
    int minor_version;
    int micro_version;
    const Char *(*ErrorString)(int code);
    int (*GetErrorCode)(Parser parser);
    unsigned long (*GetErrorColumnNumber)(Parser parser);
    unsigned long (*GetErrorLineNumber)(Parser parser);
    int (*Parse)(Parser parser, const char *text, int length, int is_final);
    Parser (*ParserCreate_MM)(const Char *encoding, const MemorySuite *memory,
                              const Char *namespace_separator);
    void (*ParserFree)(Parser parser);
    void (*SetCharacterDataHandler)(Parser parser,
                                    CharacterDataHandler handler);
    Untyped SetCommentHandler;
    Untyped SetDefaultHandlerExpand;
    void (*SetElementHandler)(Parser parser, StartElementHandler start,
                              EndElementHandler end);
    Untyped SetNamespaceDeclHandler;
    Untyped SetProcessingInstructionHandler;
    void (*SetUnknownEncodingHandler)(Parser parser,
                                      UnknownEncodingHandler handler,
                                      void *data);
    void (*SetUserData)(Parser parser, void *user);
    void (*SetStartDoctypeDeclHandler)(Parser parser,
                                       StartDoctypeDeclHandler start);
    int (*SetEncoding)(Parser parser, const Char *encoding);
    Untyped DefaultUnknownEncodingHandler;
    // Null with an old expat; absent from an old capsule (see below).
    int (*SetHashSalt)(Parser parser, unsigned long salt);
};

// The capsule must hold the fields up to SetEncoding; SetHashSalt is used
// when the capsule is large enough to hold it.
constexpr int required_size =
    static_cast<int>(offsetof(Capi, DefaultUnknownEncodingHandler));
constexpr int salted_size =
    static_cast<int>(offsetof(Capi, SetHashSalt) + sizeof(void *));

}  // namespace expat
}  // namespace bathyra
