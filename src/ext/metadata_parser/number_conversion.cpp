// Number conversion: object_to_double and its fast text parsers.
//
// The scanning below works on plain character arrays and never touches the
// interpreter; only the digit reading (PyOS_string_to_double), the buffers
// of long texts (PyMem_Malloc) and the fallback call into the host.
#include "number_conversion.hpp"

#include <cmath>
#include <limits>

#include "owned_ref.hpp"

namespace bathyra {

namespace {

// Texts shorter than this (terminating NUL included) are copied to the
// stack; longer ones get a buffer from the host allocator.
constexpr Py_ssize_t stack_buffer_size = 40;

constexpr double fast_parse_refused = -1.0;
constexpr double ordinary_number = 0.0;

bool is_byte_space(unsigned char c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

template <typename Char> bool is_digit(Char c)
{
    return c >= '0' && c <= '9';
}

// Case-insensitive match of ASCII letters; `lower` is lower case.
template <typename Char> bool letter_is(Char c, char lower)
{
    return c == static_cast<Char>(lower) ||
           c == static_cast<Char>(lower - 'a' + 'A');
}

template <typename Char>
double parse_inf_nan_impl(const Char *text, Py_ssize_t length)
{
    bool negative = false;
    if (length > 0 && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        ++text;
        --length;
    }
    if (length == 0)
        return fast_parse_refused;
    Char first = text[0];
    if (first == '.' || is_digit(first))
        return ordinary_number;
    const double sign = negative ? -1.0 : 1.0;
    if (letter_is(first, 'n')) {
        if (length == 3 && letter_is(text[1], 'a') && letter_is(text[2], 'n'))
            return std::copysign(std::numeric_limits<double>::quiet_NaN(),
                                 sign);
        return fast_parse_refused;
    }
    if (letter_is(first, 'i')) {
        if (length < 3 || !letter_is(text[1], 'n') || !letter_is(text[2], 'f'))
            return fast_parse_refused;
        if (length == 3)
            return sign * std::numeric_limits<double>::infinity();
        if (length == 8 && letter_is(text[3], 'i') &&
            letter_is(text[4], 'n') && letter_is(text[5], 'i') &&
            letter_is(text[6], 't') && letter_is(text[7], 'y'))
            return sign * std::numeric_limits<double>::infinity();
        return fast_parse_refused;
    }
    return fast_parse_refused;
}

template <typename Char> bool is_punctuation(Char c)
{
    return c == '_' || c == '.' || c == 'e' || c == 'E';
}

// Shared by the byte and the wide form: code points above 127 are refused
// (the host routine reads ASCII only).  An underscore must stand between
// two characters that are not punctuation (`_ . e E`).
//
// Deliberately lenient: a sign is no punctuation, so in '1_2e+_3' the
// underscore right after the exponent's sign counts as standing between
// '+' and '3', is dropped, and the text reads as 12e+3 = 12000.0, where
// float() refuses it.  Callers of the module may rely on depth texts that
// were accepted once being accepted again, so this stays; the plain-Python
// twin of the routine follows the same rule.
template <typename Char>
char *strip_underscores_impl(const Char *text, Py_ssize_t length, char *buffer)
{
    char *out = buffer;
    bool previous_punctuation = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Char c = text[i];
        if (static_cast<uint32_t>(c) > 127)
            return nullptr;
        bool punctuation = is_punctuation(c);
        if (punctuation && (i == 0 || previous_punctuation || i == length - 1))
            return nullptr;
        previous_punctuation = punctuation;
        if (c != '_')
            *out++ = static_cast<char>(c);
    }
    *out = '\0';
    return out;
}

// Owns a copy buffer: the stack array for short texts, else host memory.
class CopyBuffer {
  public:
    explicit CopyBuffer(Py_ssize_t size)
    {
        if (size <= stack_buffer_size)
            data_ = stack_;
        else
            data_ = heap_ =
                static_cast<char *>(PyMem_Malloc(static_cast<size_t>(size)));
    }
    CopyBuffer(const CopyBuffer &) = delete;
    CopyBuffer &operator=(const CopyBuffer &) = delete;
    ~CopyBuffer() { PyMem_Free(heap_); }
    char *data() const { return data_; }

  private:
    char stack_[stack_buffer_size];
    char *heap_ = nullptr;
    char *data_ = nullptr;
};

// The host's float conversion of the caller's object, untrimmed.
double slow_text_to_double(PyObject *obj)
{
    OwnedRef value(PyFloat_FromString(obj));
    if (!value)
        return -1.0;
    return PyFloat_AS_DOUBLE(value.get());
}

// Reads `text` (NUL-terminated, or followed by white space up to a NUL)
// with the host routine.  The value stands when every character up to
// `end` was used; when no number at all was read the host's exception
// stands (-1.0); otherwise the host's float conversion of `obj` decides.
double read_digits(const char *text, const char *end, PyObject *obj)
{
    char *stop = nullptr;
    double value = PyOS_string_to_double(text, &stop, nullptr);
    if (stop == end)
        return value;
    if (value == -1.0 && PyErr_Occurred())
        return -1.0;
    return slow_text_to_double(obj);
}

double byte_text_to_double(PyObject *obj, const char *text, Py_ssize_t length)
{
    const char *start = text;
    const char *end = text + length;
    while (start < end && is_byte_space(static_cast<unsigned char>(*start)))
        ++start;
    while (end - start > 1 &&
           is_byte_space(static_cast<unsigned char>(end[-1])))
        --end;
    Py_ssize_t trimmed = end - start;
    if (trimmed == 0)
        return slow_text_to_double(obj);

    double special = parse_inf_nan_impl(start, trimmed);
    if (special == fast_parse_refused)
        return slow_text_to_double(obj);
    if (special != ordinary_number)
        return special;

    Py_ssize_t kept = 0;
    for (const char *c = start; c < end; ++c)
        kept += *c != '_';

    // What follows the trimmed text is white space or the NUL.
    if (kept == trimmed)
        return read_digits(start, end, obj);
    CopyBuffer buffer(kept + 1);
    if (!buffer.data())
        return slow_text_to_double(obj);
    char *copy_end = strip_underscores_impl(start, trimmed, buffer.data());
    if (!copy_end)
        return slow_text_to_double(obj);
    return read_digits(buffer.data(), copy_end, obj);
}

// parse_inf_nan over the trimmed code points from `start`, and for an
// ordinary number their copy without underscores (copy_end stays null when
// strip_underscores refuses them).
template <typename Char>
double scan_wide(const void *data, Py_ssize_t start, Py_ssize_t trimmed,
                 char *buffer, char *&copy_end)
{
    const Char *text = static_cast<const Char *>(data) + start;
    double special = parse_inf_nan_impl(text, trimmed);
    if (special == ordinary_number)
        copy_end = strip_underscores_impl(text, trimmed, buffer);
    return special;
}

// The fast parse of a str that holds characters outside ASCII.
double wide_text_to_double(PyObject *obj)
{
    const int kind = PyUnicode_KIND(obj);
    const void *data = PyUnicode_DATA(obj);
    Py_ssize_t start;
    Py_ssize_t end;
    number_text::trim_white_space(obj, start, end);
    Py_ssize_t trimmed = end - start;
    if (trimmed == 0)
        return slow_text_to_double(obj);

    double special;
    char *copy_end = nullptr;
    CopyBuffer buffer(trimmed + 1);
    if (!buffer.data())
        return slow_text_to_double(obj);
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        special =
            scan_wide<Py_UCS1>(data, start, trimmed, buffer.data(), copy_end);
        break;
    case PyUnicode_2BYTE_KIND:
        special =
            scan_wide<Py_UCS2>(data, start, trimmed, buffer.data(), copy_end);
        break;
    default:
        special =
            scan_wide<Py_UCS4>(data, start, trimmed, buffer.data(), copy_end);
        break;
    }
    if (special == fast_parse_refused)
        return slow_text_to_double(obj);
    if (special != ordinary_number)
        return special;
    if (!copy_end)
        return slow_text_to_double(obj);
    return read_digits(buffer.data(), copy_end, obj);
}

double text_object_to_double(PyObject *obj)
{
    if (compat::unicode_ready(obj) < 0)
        return -1.0;
    if (!PyUnicode_IS_ASCII(obj))
        return wide_text_to_double(obj);
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(obj, &length);
    if (!text)
        return -1.0;
    return byte_text_to_double(obj, text, length);
}

double float_slot_to_double(PyObject *obj, unaryfunc nb_float)
{
    OwnedRef result(nb_float(obj));
    if (!result)
        return -1.0;
    PyTypeObject *type = Py_TYPE(result.get());
    if (type != &PyFloat_Type && !PyType_IsSubtype(type, &PyFloat_Type)) {
        PyErr_Format(PyExc_TypeError,
                     "__float__ returned non-float (type %.200s)",
                     type->tp_name);
        return -1.0;
    }
    return PyFloat_AS_DOUBLE(result.get());
}

}  // namespace

namespace number_text {

void trim_white_space(PyObject *text, Py_ssize_t &start,
                      Py_ssize_t &end) noexcept
{
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    start = 0;
    end = PyUnicode_GET_LENGTH(text);
    while (start < end &&
           Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start)))
        ++start;
    while (end > start &&
           Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1)))
        --end;
}

double parse_inf_nan(const char *text, Py_ssize_t length) noexcept
{
    return parse_inf_nan_impl(text, length);
}

char *strip_underscores(const char *text, Py_ssize_t length,
                        char *buffer) noexcept
{
    return strip_underscores_impl(text, length, buffer);
}

}  // namespace number_text

double object_to_double(PyObject *obj)
{
    if (PyFloat_CheckExact(obj))
        return PyFloat_AS_DOUBLE(obj);
    if (PyLong_CheckExact(obj))
        return PyLong_AsDouble(obj);
    if (PyUnicode_CheckExact(obj))
        return text_object_to_double(obj);
    if (PyBytes_CheckExact(obj))
        return byte_text_to_double(obj, PyBytes_AS_STRING(obj),
                                   PyBytes_GET_SIZE(obj));
    if (PyByteArray_CheckExact(obj))
        return byte_text_to_double(obj, PyByteArray_AS_STRING(obj),
                                   PyByteArray_GET_SIZE(obj));
    PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
    if (number && number->nb_float)
        return float_slot_to_double(obj, number->nb_float);
    OwnedRef value(
        PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyFloat_Type), obj));
    if (!value)
        return -1.0;
    return PyFloat_AS_DOUBLE(value.get());
}

}  // namespace bathyra
