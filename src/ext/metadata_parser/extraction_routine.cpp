// The extraction routine behind extract_metadata(raster).
//
// A straight sequence of steps, each tied to a fixed source line: the line
// that the traceback entry of its failure names.  The first failure ends
// the call; every reference is owned by a local that lives until the call
// ends, as in a function body, so that no finalizer runs between two
// steps.
#include "extraction_routine.hpp"

#include <cmath>
#include <limits>

#include "library_reader.hpp"
#include "library_watch.hpp"
#include "module_state.hpp"
#include "number_conversion.hpp"
#include "owned_ref.hpp"
#include "streaming_reader.hpp"
#include "xml_library_access.hpp"

namespace bathyra {

namespace {

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

}  // namespace

PyObject *run_extraction(PyObject *raster)
{
    // The document, handed to the parser untouched.
    OwnedRef metadata_xml(PyObject_GetAttr(raster, str(Str::iso19139_xml)));
    if (!metadata_xml)
        return call_failed(Line::read_document);

    // When the library and the table are those of import, untouched, one
    // streaming pass of the host's parser reads the texts; anything that
    // pass does not reproduce exactly goes the library's way from the
    // start.
    StreamedReader streamed;
    LibraryReader library;
    DocumentReader *reader = &library;
    if (streaming_allowed(metadata_xml.get())) {
        int read = streamed.read(metadata_xml.get());
        if (read < 0)
            return call_failed(Line::parse_document);
        if (read == 1)
            reader = &streamed;
    }
    Line line = reader->open(metadata_xml.get());
    if (failed(line))
        return call_failed(line);

    OwnedRef begin_position_tag;
    OwnedRef end_position_tag;
    OwnedRef min_depth;
    OwnedRef max_depth;
    if (failed(line = reader->extent_text(ExtentField::begin_position,
                                          begin_position_tag)) ||
        failed(line = reader->extent_text(ExtentField::end_position,
                                          end_position_tag)) ||
        failed(line = reader->extent_text(ExtentField::minimum_value,
                                          min_depth)) ||
        failed(line =
                   reader->extent_text(ExtentField::maximum_value, max_depth)))
        return call_failed(line);

    // The depth range, in native doubles throughout.
    double value = object_to_double(min_depth.get());
    if (value == -1.0 && PyErr_Occurred())
        return call_failed(Line::convert_minimum);
    const double val1 = -1.0 * value;
    value = object_to_double(max_depth.get());
    if (value == -1.0 && PyErr_Occurred())
        return call_failed(Line::convert_maximum);
    const double val2 = -1.0 * value;
    double drval1 = val2 < val1 ? val2 : val1;
    double drval2 = val2 > val1 ? val2 : val1;
    // A range with an unknown end is unknown as a whole.
    if (std::isnan(val1) || std::isnan(val2))
        drval1 = drval2 = std::numeric_limits<double>::quiet_NaN();

    OwnedRef sursta(survey_date(begin_position_tag.get()));
    if (!sursta)
        return call_failed(Line::survey_start);
    OwnedRef surend(survey_date(end_position_tag.get()));
    if (!surend)
        return call_failed(Line::survey_end);

    // Platform names.
    OwnedRef platform_text;
    if (failed(line = reader->platform_text(platform_text)))
        return call_failed(line);
    OwnedRef planam;
    int truth = is_true(platform_text.get());
    if (truth < 0)
        return call_failed(Line::join_platforms);
    if (truth) {
        planam.reset(strip_chars(platform_text.get(), str(Str::comma)));
        if (!planam)
            return call_failed(Line::join_platforms);
    } else {
        planam = OwnedRef::borrow(str(Str::empty));
    }

    // Object name.
    OwnedRef objnam;
    if (failed(line = reader->citation_text(objnam)))
        return call_failed(line);
    truth = is_true(objnam.get());
    if (truth < 0)
        return call_failed(Line::object_name);
    if (truth) {
        objnam.reset(replace_all(objnam.get(), state.csar_args));
        if (!objnam)
            return call_failed(Line::object_name);
    } else {
        objnam = OwnedRef::borrow(str(Str::VACIO));
    }

    // The result record.
    OwnedRef record(PyDict_New());
    if (!record)
        return call_failed(Line::build_record);
    if (put(record.get(), Str::SURSTA, std::move(sursta)) < 0 ||
        put(record.get(), Str::SUREND, std::move(surend)) < 0)
        return call_failed(Line::build_record);
    OwnedRef depth(PyFloat_FromDouble(drval1));
    if (!depth)
        return call_failed(Line::make_drval1);
    if (put(record.get(), Str::DRVAL1, std::move(depth)) < 0)
        return call_failed(Line::build_record);
    depth.reset(PyFloat_FromDouble(drval2));
    if (!depth)
        return call_failed(Line::make_drval2);
    if (put(record.get(), Str::DRVAL2, std::move(depth)) < 0 ||
        put(record.get(), Str::key_planam, std::move(planam)) < 0 ||
        put(record.get(), Str::OBJNAM, std::move(objnam)) < 0)
        return call_failed(Line::build_record);
    return record.release();
}

}  // namespace bathyra
