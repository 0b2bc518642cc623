// One pass of the host's expat parser over a document, feeding a collector
// with start tags, end tags and character data: the XML layer that the
// module's readers share.  No element tree and no object per element is
// made.
//
// A collector provides
//   bool start(const char *name, const char **attributes);
//       // a start tag; returns whether its character data is wanted
//   void end();
//   void data(const char *text, int length);
// Names arrive as "namespace}local" (or "local" without a namespace).  A
// collector throws std::exception (no memory) to stop the pass.
#pragma once

#include <climits>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <vector>

#include "expat_capi.hpp"
#include "host_compat.hpp"

namespace bathyra {

// The host allocator, for what a reader keeps of the document it reads
// (its collector's texts and stacks), so that it counts where the host's
// own parser would count: such memory is allocated and freed during the
// call, with the interpreter lock held, as the host allocator requires.
// Tables that outlive a call (compiled rules, per-thread caches) may be
// freed at a thread's end or at exit, without the lock, and use the
// default allocator.  Expat's own memory is the host's (host_memory()).
template <typename T> struct HostAllocator {
    using value_type = T;
    HostAllocator() noexcept = default;
    template <typename U> HostAllocator(const HostAllocator<U> &) noexcept {}
    T *allocate(size_t count)
    {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T))
            throw std::bad_alloc();
        void *block = PyMem_Malloc(count * sizeof(T));
        if (!block)
            throw std::bad_alloc();
        return static_cast<T *>(block);
    }
    void deallocate(T *block, size_t) noexcept { PyMem_Free(block); }
    template <typename U> bool operator==(const HostAllocator<U> &) const
    {
        return true;
    }
    template <typename U> bool operator!=(const HostAllocator<U> &) const
    {
        return false;
    }
};

template <typename T> using Vector = std::vector<T, HostAllocator<T>>;

namespace expat {

// The host's expat, taken from the pyexpat capsule, and the salt of its
// name hashing.  Like the host's own parsers, the readers salt it with a
// value drawn from the host's per-process hash randomisation, which also
// spares expat from asking the operating system for entropy at every
// parser.
struct Library {
    const Capi *capi = nullptr;
    unsigned long salt = 0;
};

// Fills `library` from the capsule; returns false, with no exception
// pending, when the capsule cannot be had or lacks what the pass needs.
// `salt_source` is any object whose hash seeds the salt.
bool load(Library &library, PyObject *salt_source);

// The pieces that the parser is fed.  Expat copies every piece into a
// buffer of its own, whose size doubles until the piece, what is left
// unparsed of the piece before and a kept context fit (pieces of 1 MiB
// made it 2 MiB after the prolog's small pieces), and counts lines and
// columns over every piece but the last once more.  Documents up to 1 MiB
// go in whole and final when they can (below): one copy, no recount;
// larger ones in pieces that keep the buffer at 1 MiB, as the host's own
// parser feeds them; the rest of a document after its prolog's small
// pieces in pieces that keep it at 256 KiB.
constexpr Py_ssize_t whole_document_limit = 1024 * 1024;
constexpr Py_ssize_t large_piece = 1024 * 1024 - 16 * 1024;
constexpr Py_ssize_t careful_piece = 256 * 1024 - 16 * 1024;

// Until the root element starts, the document is fed in pieces this small:
// a document type declaration stops the pass, but expat only hears of that
// after the piece it was given, whose entities and default attributes it
// would otherwise expand in full.
constexpr Py_ssize_t prolog_piece = 4096;

// Whether `bytes` may hold a document type declaration: they hold
// "<!DOCTYPE", or are in an encoding of more than one byte a character
// (a NUL among the first four bytes), where the bytes do not show it.
// When not, the prolog needs no small pieces.
inline bool may_declare_doctype(const char *bytes, Py_ssize_t length)
{
    const size_t size = static_cast<size_t>(length);
    if (std::memchr(bytes, 0, size < 4 ? size : 4) != nullptr)
        return true;
    static constexpr char declaration[] = "<!DOCTYPE";
    constexpr size_t mark = sizeof declaration - 1;
    for (const char *at = bytes, *end = bytes + size;
         static_cast<size_t>(end - at) >= mark; ++at) {
        at = static_cast<const char *>(
            std::memchr(at, '<', static_cast<size_t>(end - at) - mark + 1));
        if (at == nullptr)
            return false;
        if (std::memcmp(at, declaration, mark) == 0)
            return true;
    }
    return false;
}

inline Py_ssize_t piece_size(Py_ssize_t length)
{
    if (length <= whole_document_limit)
        return length > 0 ? length : 1;
    return large_piece;
}

// The bytes a pass reads of `document`: a str's UTF-8 (`is_text`) or a
// bytes object's contents.  Returns false with the host's exception
// pending when the str cannot be encoded (it holds lone surrogates).
inline bool document_bytes(PyObject *document, bool is_text,
                           const char *&bytes, Py_ssize_t &length)
{
    if (is_text) {
        bytes = PyUnicode_AsUTF8AndSize(document, &length);
        return bytes != nullptr;
    }
    bytes = PyBytes_AS_STRING(document);
    length = PyBytes_GET_SIZE(document);
    return true;
}

// The parser is made with the host allocator.
const MemorySuite &host_memory();

// How many of the parsers' allocations have failed on the calling thread
// so far.  Expat reports some of them as errors of the document (an
// unbound prefix): a pass during which this grew failed for want of
// memory, whatever expat says.
unsigned long failed_allocations();

class ParserHandle {
  public:
    explicit ParserHandle(const Library &library)
        : capi_(library.capi),
          parser_(capi_->ParserCreate_MM(nullptr, &host_memory(), "}"))
    {
        if (parser_ && library.salt != 0)
            capi_->SetHashSalt(parser_, library.salt);
    }
    ParserHandle(const ParserHandle &) = delete;
    ParserHandle &operator=(const ParserHandle &) = delete;
    ~ParserHandle()
    {
        if (parser_)
            capi_->ParserFree(parser_);
    }
    Parser get() const { return parser_; }

  private:
    const Capi *capi_;
    Parser parser_;
};

enum class Outcome {
    read,       // the whole document, well-formed
    refused,    // a document type declaration, an encoding that expat does
                // not know by itself, or no memory for the collector
    malformed,  // a syntax error
};

// Expat's error code for a failed allocation (XML_ERROR_NO_MEMORY).
constexpr int error_no_memory = 1;

// One pass over `bytes`.  The character data handler is set only while the
// collector wants data, so that expat skips the rest without a call.
template <typename Collector> class Pass {
  public:
    Pass(const Library &library, Collector &collector)
        : capi_(library.capi), parser_(library), collector_(collector)
    {
    }

    bool ready() const { return parser_.get() != nullptr; }

    // Reads a str's UTF-8 (`as_utf8`) as UTF-8 whatever its declaration
    // says, as the library's parser does.
    Outcome run(const char *bytes, Py_ssize_t length, bool as_utf8)
    {
        Parser parser = parser_.get();
        if (length > INT_MAX)
            return Outcome::refused;
        capi_->SetUserData(parser, this);
        capi_->SetElementHandler(parser, on_start, on_end);
        capi_->SetStartDoctypeDeclHandler(parser, on_doctype);
        capi_->SetUnknownEncodingHandler(parser, on_unknown_encoding, this);
        if (as_utf8)
            capi_->SetEncoding(parser, "utf-8");
        // Without a declaration to stop at, the document goes in whole (up
        // to the limit); with one, the prolog goes in small pieces and the
        // rest in large ones.
        const bool careful = may_declare_doctype(bytes, length);
        const Py_ssize_t feed_size =
            careful ? careful_piece : piece_size(length);
        int status = status_ok;
        Py_ssize_t offset = 0;
        do {
            Py_ssize_t piece = length - offset;
            const Py_ssize_t most =
                rooted_ || !careful ? feed_size : prolog_piece;
            if (piece > most)
                piece = most;
            offset += piece;
            status = capi_->Parse(parser, bytes + offset - piece,
                                  static_cast<int>(piece), offset == length);
        } while (status == status_ok && !abandoned_ && offset < length);
        if (abandoned_)
            return Outcome::refused;
        return status == status_ok ? Outcome::read : Outcome::malformed;
    }

    // After a malformed outcome: expat's error code, reason, line and
    // column.
    int error_code() const { return capi_->GetErrorCode(parser_.get()); }
    const Char *error_text() const
    {
        return capi_->ErrorString(capi_->GetErrorCode(parser_.get()));
    }
    unsigned long error_line() const
    {
        return capi_->GetErrorLineNumber(parser_.get());
    }
    unsigned long error_column() const
    {
        return capi_->GetErrorColumnNumber(parser_.get());
    }

  private:
    const Capi *capi_;
    ParserHandle parser_;
    Collector &collector_;
    bool collecting_ = false;
    bool abandoned_ = false;
    bool rooted_ = false;  // the root element has started

    static Pass &of(void *user) { return *static_cast<Pass *>(user); }

    // Stops the pass: the caller reads the document another way.
    void abandon()
    {
        abandoned_ = true;
        capi_->SetElementHandler(parser_.get(), nullptr, nullptr);
        capi_->SetCharacterDataHandler(parser_.get(), nullptr);
    }

    void want_data(bool wanted)
    {
        if (wanted != collecting_)
            capi_->SetCharacterDataHandler(parser_.get(),
                                           wanted ? on_data : nullptr);
        collecting_ = wanted;
    }

    // The handlers run inside expat, which has no idea of C++ exceptions:
    // none may leave them.  They run no host code.
    static void on_start(void *user, const Char *name,
                         const Char **attributes) noexcept
    {
        Pass &pass = of(user);
        pass.rooted_ = true;
        try {
            pass.want_data(pass.collector_.start(name, attributes));
        } catch (const std::exception &) {
            pass.abandon();
        }
    }

    static void on_end(void *user, const Char *) noexcept
    {
        Pass &pass = of(user);
        pass.collector_.end();
        pass.want_data(false);
    }

    static void on_data(void *user, const Char *text, int length) noexcept
    {
        Pass &pass = of(user);
        try {
            pass.collector_.data(text, length);
        } catch (const std::exception &) {
            pass.abandon();
        }
    }

    // Whatever a document type declaration brings (entities, defaults) is
    // left to the host's parser; the rest of this pass only checks syntax.
    static void on_doctype(void *user, const Char *, const Char *,
                           const Char *, int) noexcept
    {
        of(user).abandon();
    }

    // Encodings that expat does not know by itself fail the pass at once.
    static int on_unknown_encoding(void *user, const Char *, void *) noexcept
    {
        of(user).abandoned_ = true;
        return status_error;
    }
};

}  // namespace expat
}  // namespace bathyra
