// The extraction routine behind extract_metadata(raster).
//
// A straight sequence of steps, each tied to a fixed source line: the line
// that the traceback entry of its failure names.  The first failure ends
// the call; every reference is owned by a local, so nothing outlives it.
#include "extraction_routine.hpp"

#include <cmath>
#include <limits>

#include "call_binding.hpp"
#include "module_state.hpp"
#include "number_conversion.hpp"
#include "owned_ref.hpp"
#include "streaming_reader.hpp"
#include "string_constants.hpp"
#include "xml_library_access.hpp"

namespace bathyra {

namespace {

PyObject *fail(int line)
{
    add_traceback_entry(EntryOwner::call, line);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Namespace registration (lines 15 and 16).

// Registers one pair with whatever `ET` is bound to now.  Returns 0, or -1
// with the line-16 failure pending.
int register_pair(PyObject *prefix, PyObject *uri)
{
    OwnedRef library(xml_library(GlobalSite::register_namespace));
    if (!library)
        return -1;
    return register_namespace(library.get(), prefix, uri);
}

// Splits one item of an items() result into two values, as the unpacking
// of a two-name for loop does.  Returns 0 or -1.
int unpack_pair(PyObject *item, OwnedRef &first, OwnedRef &second)
{
    if (PyTuple_Check(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size == 2) {
            first = OwnedRef::borrow(PyTuple_GET_ITEM(item, 0));
            second = OwnedRef::borrow(PyTuple_GET_ITEM(item, 1));
            return 0;
        }
        if (size > 2)
            PyErr_Format(PyExc_ValueError,
                         "too many values to unpack (expected %zd)",
                         static_cast<Py_ssize_t>(2));
        else
            PyErr_Format(PyExc_ValueError,
                         "need more than %zd value%.1s to unpack", size,
                         size == 1 ? "" : "s");
        return -1;
    }
    OwnedRef iterator(PyObject_GetIter(item));
    if (!iterator)
        return -1;
    OwnedRef values[2];
    for (Py_ssize_t got = 0; got < 2; ++got) {
        values[got].reset(PyIter_Next(iterator.get()));
        if (!values[got]) {
            if (PyErr_Occurred())
                return -1;
            PyErr_Format(PyExc_ValueError,
                         "need more than %zd value%.1s to unpack", got,
                         got == 1 ? "" : "s");
            return -1;
        }
    }
    OwnedRef extra(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError,
                     "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
        return -1;
    }
    if (PyErr_Occurred())
        return -1;
    first = std::move(values[0]);
    second = std::move(values[1]);
    return 0;
}

// Walks the namespace table and registers every pair; `prefix` and `uri`
// are the routine's locals and keep the last pair.  Returns 0, or the
// failing line (15 or 16) with its exception pending.
int register_namespaces(OwnedRef &prefix, OwnedRef &uri)
{
    OwnedRef table(namespace_table(GlobalSite::namespace_loop));
    if (!table)
        return 15;
    if (table.get() == Py_None) {
        PyErr_Format(PyExc_AttributeError,
                     "'NoneType' object has no attribute '%.30s'", "items");
        return 15;
    }
    if (PyDict_CheckExact(table.get())) {
        // Walked in place; the size is checked before every step, the last
        // one included, as dictionary iteration does.
        const Py_ssize_t size = PyDict_GET_SIZE(table.get());
        Py_ssize_t position = 0;
        for (;;) {
            if (PyDict_GET_SIZE(table.get()) != size) {
                PyErr_SetString(PyExc_RuntimeError,
                                "dictionary changed size during iteration");
                return 15;
            }
            PyObject *key;
            PyObject *value;
            if (!PyDict_Next(table.get(), &position, &key, &value))
                return 0;
            prefix = OwnedRef::borrow(key);
            uri = OwnedRef::borrow(value);
            if (register_pair(prefix.get(), uri.get()) < 0)
                return 16;
        }
    }
    OwnedRef items_method(PyObject_GetAttr(table.get(), str(Str::items)));
    if (!items_method)
        return 15;
    OwnedRef items(PyObject_CallNoArgs(items_method.get()));
    items_method.reset();
    if (!items)
        return 15;
    if (PyList_CheckExact(items.get()) || PyTuple_CheckExact(items.get())) {
        const bool is_list = PyList_CheckExact(items.get());
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t length = is_list ? PyList_GET_SIZE(items.get())
                                        : PyTuple_GET_SIZE(items.get());
            if (i >= length)
                return 0;
            OwnedRef item = OwnedRef::borrow(
                is_list ? PyList_GET_ITEM(items.get(), i)
                        : PyTuple_GET_ITEM(items.get(), i));
            if (unpack_pair(item.get(), prefix, uri) < 0)
                return 15;
            if (register_pair(prefix.get(), uri.get()) < 0)
                return 16;
        }
    }
    OwnedRef iterator(PyObject_GetIter(items.get()));
    if (!iterator)
        return 15;
    for (;;) {
        OwnedRef item(PyIter_Next(iterator.get()));
        if (!item)
            return PyErr_Occurred() ? 15 : 0;
        if (unpack_pair(item.get(), prefix, uri) < 0)
            return 15;
        if (register_pair(prefix.get(), uri.get()) < 0)
            return 16;
    }
}

// ---------------------------------------------------------------------------
// Reading texts (lines 19 to 22).

// The text of the first element that `path` finds.  New reference or null.
PyObject *first_text(GlobalSite site, Str path, PyObject *root)
{
    OwnedRef table(namespace_table(site));
    if (!table)
        return nullptr;
    OwnedRef element(find_element(root, path, table.get()));
    if (!element)
        return nullptr;
    return element_text(element.get());
}

// ---------------------------------------------------------------------------
// Survey dates (lines 28 and 29).

// When `text` is an exact str that, without surrounding white space, is a
// calendar date YYYY-MM-DD alone or followed by 'T', writes its eight
// digits to `digits` and returns 1; returns 0 for any other text, -1 with
// an exception pending.
int calendar_date_digits(PyObject *text, char digits[8])
{
    if (!PyUnicode_CheckExact(text))
        return 0;
    if (compat::unicode_ready(text) < 0)
        return -1;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t start;
    Py_ssize_t end;
    number_text::trim_white_space(text, start, end);
    if (end - start < 10)
        return 0;
    if (end - start > 10 && PyUnicode_READ(kind, data, start + 10) != 'T')
        return 0;
    int written = 0;
    for (Py_ssize_t i = 0; i < 10; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, start + i);
        if (i == 4 || i == 7) {
            if (c != '-')
                return 0;
        } else {
            if (c < '0' || c > '9')
                return 0;
            digits[written++] = static_cast<char>(c);
        }
    }
    return 1;
}

// The survey date of a position text: its calendar date's digits when it
// has one, else the text less its last nine characters and every "-".
PyObject *survey_date(PyObject *position)
{
    char digits[8];
    int is_date = calendar_date_digits(position, digits);
    if (is_date < 0)
        return nullptr;
    if (is_date)
        return PyUnicode_FromStringAndSize(digits, 8);
    OwnedRef shortened(drop_last_nine(position));
    if (!shortened)
        return nullptr;
    return replace_all(shortened.get(), state.hyphen_args);
}

// ---------------------------------------------------------------------------
// Platform names (lines 34 to 36).

// Appends `text` (read at line 36) followed by "," to platform_text.
// Returns 0 or 36 with the exception pending.
int append_platform(PyObject *text, OwnedRef &platform_text)
{
    OwnedRef with_comma(PyNumber_Add(text, str(Str::comma)));
    if (!with_comma)
        return 36;
    OwnedRef joined(PyNumber_InPlaceAdd(platform_text.get(), with_comma.get()));
    if (!joined)
        return 36;
    platform_text = std::move(joined);
    return 0;
}

// Whether `text` (read at line 35) names a platform: 1, 0, or 35 with the
// exception pending.  A text of None (an element without text) names none
// and is skipped like the placeholders.
int names_platform(PyObject *text, PyObject *placeholders)
{
    if (text == Py_None)
        return 0;
    int placeholder = PySet_Contains(placeholders, text);
    if (placeholder < 0)
        return 35;
    return !placeholder;
}

// Appends the text of one acquisition element.  Returns 0, or the failing
// line (35 or 36) with its exception pending.
int add_platform(PyObject *element, PyObject *placeholders,
                 OwnedRef &platform_text)
{
    OwnedRef text(element_text(element));
    if (!text)
        return 35;
    int named = names_platform(text.get(), placeholders);
    text.reset();
    if (named != 1)
        return named;
    text.reset(element_text(element));
    if (!text)
        return 36;
    return append_platform(text.get(), platform_text);
}

// Walks the elements that findall returned, binding each to the routine's
// local `p` (the previous one is released when the next is bound, and the
// last stays bound).  Returns 0 or the failing line.
int collect_platforms(PyObject *platforms, PyObject *placeholders,
                      OwnedRef &p, OwnedRef &platform_text)
{
    if (PyList_CheckExact(platforms) || PyTuple_CheckExact(platforms)) {
        const bool is_list = PyList_CheckExact(platforms);
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t length = is_list ? PyList_GET_SIZE(platforms)
                                        : PyTuple_GET_SIZE(platforms);
            if (i >= length)
                return 0;
            p = OwnedRef::borrow(is_list ? PyList_GET_ITEM(platforms, i)
                                         : PyTuple_GET_ITEM(platforms, i));
            int line = add_platform(p.get(), placeholders, platform_text);
            if (line)
                return line;
        }
    }
    OwnedRef iterator(PyObject_GetIter(platforms));
    if (!iterator)
        return 34;
    iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (;;) {
        OwnedRef element(next(iterator.get()));
        if (!element) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration))
                    return 34;
                PyErr_Clear();
            }
            return 0;
        }
        p = std::move(element);
        int line = add_platform(p.get(), placeholders, platform_text);
        if (line)
            return line;
    }
}

PyObject *make_placeholders()
{
    OwnedRef placeholders(PySet_New(nullptr));
    if (!placeholders)
        return nullptr;
    if (PySet_Add(placeholders.get(), str(Str::platform_name)) < 0 ||
        PySet_Add(placeholders.get(), str(Str::instrument_unknown)) < 0 ||
        PySet_Add(placeholders.get(), str(Str::instrument_type_unknown)) < 0)
        return nullptr;
    return placeholders.release();
}

// Truth test with None, False and True decided by identity.
int is_true(PyObject *value)
{
    if (value == Py_True)
        return 1;
    if (value == Py_False || value == Py_None)
        return 0;
    return PyObject_IsTrue(value);
}

// Inserts `value` (stolen) under a result key.  Returns 0 or -1.
int put(PyObject *record, Str key, OwnedRef value)
{
    return PyDict_SetItem(record, str(key), value.get());
}

// The texts of the routine's four finds, in the order of lines 19 to 22.
struct ExtentTexts {
    OwnedRef begin_position_tag;
    OwnedRef end_position_tag;
    OwnedRef min_depth;
    OwnedRef max_depth;
};

// Lines 15 to 22 through the XML library.  Returns 0 or the failing line.
int read_with_library(PyObject *metadata_xml, OwnedRef &prefix,
                      OwnedRef &uri, OwnedRef &root, ExtentTexts &texts)
{
    if (int line = register_namespaces(prefix, uri))
        return line;
    {
        OwnedRef library(xml_library(GlobalSite::parse));
        if (!library)
            return 17;
        root.reset(parse_document(library.get(), metadata_xml));
        if (!root)
            return 17;
    }
    texts.begin_position_tag.reset(first_text(
        GlobalSite::begin_position, Str::path_begin_position, root.get()));
    if (!texts.begin_position_tag)
        return 19;
    texts.end_position_tag.reset(first_text(
        GlobalSite::end_position, Str::path_end_position, root.get()));
    if (!texts.end_position_tag)
        return 20;
    texts.min_depth.reset(first_text(GlobalSite::minimum_value,
                                     Str::path_minimum_value, root.get()));
    if (!texts.min_depth)
        return 21;
    texts.max_depth.reset(first_text(GlobalSite::maximum_value,
                                     Str::path_maximum_value, root.get()));
    if (!texts.max_depth)
        return 22;
    return 0;
}

// Lines 19 to 22 from the streamed document: a missing element fails as
// reading `text` from None does, at its line.
int read_streamed(StreamedDocument &document, ExtentTexts &texts)
{
    OwnedRef *found[] = {&document.begin_position, &document.end_position,
                         &document.minimum_value, &document.maximum_value};
    OwnedRef *locals[] = {&texts.begin_position_tag, &texts.end_position_tag,
                          &texts.min_depth, &texts.max_depth};
    for (int i = 0; i < 4; ++i) {
        if (!*found[i]) {
            OwnedRef none_text(element_text(Py_None));
            return 19 + i;
        }
        *locals[i] = std::move(*found[i]);
    }
    return 0;
}

}  // namespace

PyObject *run_extraction(PyObject *self, PyObject *raster) noexcept
{
    (void)self;
    // Line 14: the document, handed to the parser untouched.
    OwnedRef metadata_xml(PyObject_GetAttr(raster, str(Str::iso19139_xml)));
    if (!metadata_xml)
        return fail(14);

    // Lines 15 to 22.  Locals live until the call ends, as in a function
    // body: their finalizers never run between two steps.  When the
    // library and the table are those of import, untouched, one streaming
    // pass of the host's parser reads the texts; anything that pass does
    // not reproduce exactly goes the library's way from the start.
    OwnedRef prefix;
    OwnedRef uri;
    OwnedRef root;
    ExtentTexts texts;
    StreamedDocument streamed;
    bool is_streamed = false;
    if (streaming_allowed(metadata_xml.get())) {
        int read = stream_document(metadata_xml.get(), streamed);
        if (read < 0)
            return fail(17);
        is_streamed = read == 1;
    }
    if (int line = is_streamed ? read_streamed(streamed, texts)
                               : read_with_library(metadata_xml.get(), prefix,
                                                   uri, root, texts))
        return fail(line);

    // Lines 24 to 27: native doubles throughout.
    double value = object_to_double(texts.min_depth.get());
    if (value == -1.0 && PyErr_Occurred())
        return fail(24);
    const double val1 = -1.0 * value;
    value = object_to_double(texts.max_depth.get());
    if (value == -1.0 && PyErr_Occurred())
        return fail(25);
    const double val2 = -1.0 * value;
    double drval1 = val2 < val1 ? val2 : val1;
    double drval2 = val2 > val1 ? val2 : val1;
    // A range with an unknown end is unknown as a whole.
    if (std::isnan(val1) || std::isnan(val2))
        drval1 = drval2 = std::numeric_limits<double>::quiet_NaN();

    // Lines 28 and 29.
    OwnedRef sursta(survey_date(texts.begin_position_tag.get()));
    if (!sursta)
        return fail(28);
    OwnedRef surend(survey_date(texts.end_position_tag.get()));
    if (!surend)
        return fail(29);

    // Lines 31 to 37: platform names (joined by the streaming reader when
    // it read the document).
    OwnedRef platform_text = OwnedRef::borrow(str(Str::empty));
    OwnedRef platform_novalid;
    OwnedRef platforms;
    OwnedRef p;
    OwnedRef planam;
    if (is_streamed) {
        platform_text = std::move(streamed.platform_text);
    } else {
        platform_novalid.reset(make_placeholders());
        if (!platform_novalid)
            return fail(32);
        {
            OwnedRef table(namespace_table(GlobalSite::platforms));
            if (!table)
                return fail(33);
            platforms.reset(find_all_elements(root.get(), Str::path_platforms,
                                              table.get()));
            if (!platforms)
                return fail(33);
        }
        if (int line = collect_platforms(platforms.get(),
                                         platform_novalid.get(), p,
                                         platform_text))
            return fail(line);
    }
    int truth = is_true(platform_text.get());
    if (truth < 0)
        return fail(37);
    if (truth) {
        planam.reset(strip_chars(platform_text.get(), str(Str::comma)));
        if (!planam)
            return fail(37);
    } else {
        planam = OwnedRef::borrow(str(Str::empty));
    }

    // Lines 39 to 41: object name.
    OwnedRef objnam_tag;
    OwnedRef objnam;
    if (is_streamed) {
        objnam = streamed.citation
                     ? std::move(streamed.citation)
                     : OwnedRef::borrow(str(Str::VACIO));
    } else {
        {
            OwnedRef table(namespace_table(GlobalSite::citation));
            if (!table)
                return fail(39);
            objnam_tag.reset(find_element(root.get(), Str::path_citation,
                                          table.get()));
            if (!objnam_tag)
                return fail(39);
        }
        if (objnam_tag.get() == Py_None) {
            objnam = OwnedRef::borrow(str(Str::VACIO));
        } else {
            objnam.reset(element_text(objnam_tag.get()));
            if (!objnam)
                return fail(40);
        }
    }
    truth = is_true(objnam.get());
    if (truth < 0)
        return fail(41);
    if (truth) {
        objnam.reset(replace_all(objnam.get(), state.csar_args));
        if (!objnam)
            return fail(41);
    } else {
        objnam = OwnedRef::borrow(str(Str::VACIO));
    }

    // Lines 44 to 49: the result record.
    OwnedRef record(PyDict_New());
    if (!record)
        return fail(44);
    if (put(record.get(), Str::SURSTA, std::move(sursta)) < 0 ||
        put(record.get(), Str::SUREND, std::move(surend)) < 0)
        return fail(44);
    OwnedRef depth(PyFloat_FromDouble(drval1));
    if (!depth)
        return fail(46);
    if (put(record.get(), Str::DRVAL1, std::move(depth)) < 0)
        return fail(44);
    depth.reset(PyFloat_FromDouble(drval2));
    if (!depth)
        return fail(47);
    if (put(record.get(), Str::DRVAL2, std::move(depth)) < 0 ||
        put(record.get(), Str::key_planam, std::move(planam)) < 0 ||
        put(record.get(), Str::OBJNAM, std::move(objnam)) < 0)
        return fail(44);
    return record.release();
}

}  // namespace bathyra
