// The extension module bathyra._survey: the survey reader's pass over a
// document and the fields assembled from it, as a dict for the Python
// layer that shapes the Survey.
//
// What the module holds (its exception class, its strings, the host's
// expat) is in the state of each module object.  The compiled field rules
// and the caches of names and of PROJ's answers are process-wide (plain
// C++, no host object in them), so the module is loaded into one
// interpreter per process, as bathyra.metadata_parser is.
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "expat_pass.hpp"
#include "host_compat.hpp"
#include "owned_ref.hpp"
#include "problem_quotes.hpp"
#include "proj_lookup.hpp"
#include "survey_assembly.hpp"
#include "survey_collector.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace {

// The state of a module object: made by the exec step, released by the
// module's clear and free steps.  The host zeroes it before the exec step.
struct SurveyState {
    PyObject *document_error;              // _survey.DocumentError
    PyObject *strings[survey::key_count];  // see survey_strings.hpp
    expat::Library expat;                  // no references in it
};

SurveyState &state_of(PyObject *module)
{
    return *static_cast<SurveyState *>(PyModule_GetState(module));
}

// The interpreter that imported the module first, for good.
int64_t importing_interpreter = -1;

constexpr const char smxml_namespace[] = "http://metadata.dgiwg.org/smXML";

// New reference to a str of `text` (UTF-8, bad bytes escaped), or None.
PyObject *text_or_none(const std::optional<std::string> &text)
{
    if (!text) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return PyUnicode_DecodeUTF8(text->data(),
                                static_cast<Py_ssize_t>(text->size()),
                                "backslashreplace");
}

PyObject *float_or_none(const std::optional<double> &value)
{
    if (!value) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return PyFloat_FromDouble(*value);
}

PyObject *text_tuple(const std::vector<std::string> &texts)
{
    OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple)
        return nullptr;
    for (size_t i = 0; i < texts.size(); ++i) {
        PyObject *item = text_or_none(texts[i]);
        if (!item)
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

struct StringSpec {
    const char *bytes;
    Py_ssize_t size_with_nul;
    bool interned;
};

const StringSpec string_specs[survey::key_count] = {
#define BATHYRA_SURVEY_STRING_SPEC(id, text, interned)                        \
    {text, sizeof(text), interned},
    BATHYRA_SURVEY_STRING_TABLE(BATHYRA_SURVEY_STRING_SPEC)
#undef BATHYRA_SURVEY_STRING_SPEC
};

// Makes every string of the table, hashed, into `strings`; returns 0, or
// -1 with the host's exception pending.
int make_strings(PyObject *(&strings)[survey::key_count])
{
    for (int i = 0; i < survey::key_count; ++i) {
        if (strings[i])
            continue;
        const StringSpec &spec = string_specs[i];
        PyObject *made =
            PyUnicode_DecodeUTF8(spec.bytes, spec.size_with_nul - 1, nullptr);
        if (!made)
            return -1;
        if (spec.interned)
            PyUnicode_InternInPlace(&made);
        if (PyObject_Hash(made) == -1) {
            Py_DECREF(made);
            return -1;
        }
        strings[i] = made;
    }
    return 0;
}

// Borrowed reference to one of the module's strings.
PyObject *str(const SurveyState &state, survey::Key key)
{
    return state.strings[static_cast<int>(key)];
}

// Stores `value` (stolen) under `key`; returns 0 or -1.
int put(const SurveyState &state, PyObject *dict, survey::Key key,
        PyObject *value)
{
    OwnedRef owned(value);
    if (!owned)
        return -1;
    return PyDict_SetItem(dict, str(state, key), owned.get());
}

// Where the metadata places the grid: (rows, columns, (west, south),
// (east, north), (dx, dy), crs, note), the reason it cannot be placed (a str),
// or None without a grid; a new reference or null.
PyObject *placement_of(const survey::Fields &fields)
{
    if (fields.placement) {
        const survey::GridPlacement &grid = *fields.placement;
        return Py_BuildValue(
            "(KK(dd)(dd)(dd)s#s#)", static_cast<unsigned long long>(grid.rows),
            static_cast<unsigned long long>(grid.cols), grid.west, grid.south,
            grid.east, grid.north, grid.dx, grid.dy, grid.crs.data(),
            static_cast<Py_ssize_t>(grid.crs.size()), grid.note.data(),
            static_cast<Py_ssize_t>(grid.note.size()));
    }
    if (!fields.placement_problem.empty())
        return text_or_none(fields.placement_problem);
    return compat::new_ref(Py_None);
}

PyObject *make_record(const SurveyState &state, const survey::Fields &fields,
                      survey::Standard standard)
{
    OwnedRef record(PyDict_New());
    if (!record)
        return nullptr;
    PyObject *dict = record.get();
    OwnedRef problems(
        PyTuple_New(static_cast<Py_ssize_t>(fields.problems.size())));
    if (!problems)
        return nullptr;
    for (size_t i = 0; i < fields.problems.size(); ++i) {
        const auto &problem = fields.problems[i];
        OwnedRef pair(PyTuple_New(2));
        if (!pair)
            return nullptr;
        PyTuple_SET_ITEM(pair.get(), 0,
                         compat::new_ref(str(state, problem.first)));
        PyObject *message = text_or_none(problem.second);
        if (!message)
            return nullptr;
        PyTuple_SET_ITEM(pair.get(), 1, message);
        PyTuple_SET_ITEM(problems.get(), static_cast<Py_ssize_t>(i),
                         pair.release());
    }
    OwnedRef verdat(fields.VERDAT ? PyLong_FromLong(*fields.VERDAT)
                                  : (Py_INCREF(Py_None), Py_None));
    OwnedRef bbox(fields.bbox
                      ? Py_BuildValue("(dddd)", (*fields.bbox)[0],
                                      (*fields.bbox)[1], (*fields.bbox)[2],
                                      (*fields.bbox)[3])
                      : (Py_INCREF(Py_None), Py_None));
    OwnedRef placement(placement_of(fields));
    if (!placement)
        return nullptr;
    using survey::Key;
    const Key name = standard == survey::Standard::iso19115_3 ? Key::iso19115_3
                     : standard == survey::Standard::smxml    ? Key::smxml
                                                              : Key::iso19139;
    if (put(state, dict, Key::standard, compat::new_ref(str(state, name))) <
            0 ||
        put(state, dict, Key::SURSTA, text_or_none(fields.SURSTA)) < 0 ||
        put(state, dict, Key::SUREND, text_or_none(fields.SUREND)) < 0 ||
        put(state, dict, Key::DRVAL1, float_or_none(fields.DRVAL1)) < 0 ||
        put(state, dict, Key::DRVAL2, float_or_none(fields.DRVAL2)) < 0 ||
        put(state, dict, Key::vertical_crs,
            text_or_none(fields.vertical_crs)) < 0 ||
        put(state, dict, Key::vertical_datum,
            text_or_none(fields.vertical_datum)) < 0 ||
        put(state, dict, Key::VERDAT, verdat.release()) < 0 ||
        put(state, dict, Key::OBJNAM, text_or_none(fields.OBJNAM)) < 0 ||
        put(state, dict, Key::platforms, text_tuple(fields.platforms)) < 0 ||
        put(state, dict, Key::instruments, text_tuple(fields.instruments)) <
            0 ||
        put(state, dict, Key::planam, text_or_none(fields.planam)) < 0 ||
        put(state, dict, Key::SURATH, text_or_none(fields.SURATH)) < 0 ||
        put(state, dict, Key::bbox, bbox.release()) < 0 ||
        put(state, dict, Key::horizontal_crs,
            text_or_none(fields.horizontal_crs)) < 0 ||
        put(state, dict, Key::problems, problems.release()) < 0 ||
        put(state, dict, Key::georeferencing, placement.release()) < 0 ||
        put(state, dict, Key::uncertainty_type,
            text_or_none(fields.uncertainty_type)) < 0)
        return nullptr;
    return record.release();
}

PyObject *document_error(const SurveyState &state, const std::string &reason)
{
    // Made here: PyErr_SetString would raise the exception without its
    // message when the message cannot be made.
    OwnedRef message(PyUnicode_FromString(reason.c_str()));
    if (!message)
        return nullptr;
    PyErr_SetObject(state.document_error, message.get());
    return nullptr;
}

// Why a well-formed document holds no metadata record that is read.
std::string other_standard(std::string_view root_name)
{
    const size_t separator = root_name.rfind('}');
    const std::string uri(separator == std::string_view::npos
                              ? std::string_view()
                              : root_name.substr(0, separator));
    const std::string local(separator == std::string_view::npos
                                ? root_name
                                : root_name.substr(separator + 1));
    if (uri == smxml_namespace)
        return "a legacy smXML document (namespace " + uri +
               ") whose root element " + shortened(local) +
               " is no metadata record (MD_Metadata)";
    if (uri.empty())
        return "not an ISO 19139 metadata document (its root element " +
               shortened(local) + " has no namespace)";
    return "not an ISO 19139 metadata document (its root element is " +
           shortened(local) + " in the namespace " + shortened(uri) + ")";
}

// parse(document, is_bag=False) -> dict, or None when the document needs
// the XML library's parser first.
// The records of every metadata record of the document, as a list.
PyObject *record_list(const SurveyState &state,
                      const Vector<survey::Collected> &records, bool is_bag)
{
    OwnedRef list(PyList_New(0));
    if (!list)
        return nullptr;
    for (const survey::Collected &collected : records) {
        survey::Fields fields = survey::assemble(collected, is_bag);
        OwnedRef record(make_record(state, fields, collected.standard));
        if (!record || PyList_Append(list.get(), record.get()) < 0)
            return nullptr;
    }
    return list.release();
}

// parse() and parse_all(): the first record of the document, or (with
// `every`) the list of all its records.
PyObject *parse_document(PyObject *module, PyObject *args, PyObject *kwargs,
                         bool every)
{
    const SurveyState &state = state_of(module);
    static const char *keywords[] = {"document", "is_bag", nullptr};
    PyObject *document;
    int is_bag = 0;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, every ? "O|p:parse_all" : "O|p:parse",
            const_cast<char **>(keywords), &document, &is_bag))
        return nullptr;
    const char *bytes;
    Py_ssize_t length;
    const bool is_text = PyUnicode_Check(document);
    if (is_text || PyBytes_Check(document)) {
        if (!expat::document_bytes(document, is_text, bytes, length)) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return nullptr;
            PyErr_Clear();
            return document_error(state,
                                  "not well-formed XML (the text holds a "
                                  "lone surrogate, which is no character)");
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "a document must be str or bytes, not %.200s",
                     Py_TYPE(document)->tp_name);
        return nullptr;
    }
    if (!state.expat.capi) {
        Py_RETURN_NONE;
    }
    try {
        Vector<survey::Collected> records;
        std::string error;
        survey::Outcome outcome;
        if (every) {
            outcome = survey::collect_all(state.expat, bytes, length, is_text,
                                          records, error);
        } else {
            records.emplace_back();
            outcome = survey::collect(state.expat, bytes, length, is_text,
                                      records.back(), error);
        }
        const survey::Collected &collected = records.front();
        if (outcome == survey::Outcome::no_memory)
            return PyErr_NoMemory();
        if (outcome == survey::Outcome::refused)
            Py_RETURN_NONE;
        if (outcome == survey::Outcome::malformed)
            return document_error(state,
                                  "not well-formed XML (" + error + ")");
        if (collected.standard == survey::Standard::none)
            return document_error(state, other_standard(collected.root_name));
        if (every)
            return record_list(state, records, is_bag != 0);
        survey::Fields fields = survey::assemble(collected, is_bag != 0);
        return make_record(state, fields, collected.standard);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::exception &failure) {
        PyErr_SetString(PyExc_SystemError, failure.what());
        return nullptr;
    }
}

PyObject *parse(PyObject *module, PyObject *args, PyObject *kwargs)
{
    return parse_document(module, args, kwargs, false);
}

PyObject *parse_all(PyObject *module, PyObject *args, PyObject *kwargs)
{
    return parse_document(module, args, kwargs, true);
}

PyObject *proj_is_available(PyObject *, PyObject *)
{
    return PyBool_FromLong(proj_available());
}

PyObject *verdat(PyObject *, PyObject *arg)
{
    const char *name = PyUnicode_AsUTF8(arg);
    if (!name)
        return nullptr;
    int code;
    try {
        code = survey::verdat_code(name);
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    if (!code)
        Py_RETURN_NONE;
    return PyLong_FromLong(code);
}

// lonlat(crs, points) -> tuple of (longitude, latitude) or None: the
// points ((x, y) pairs of the CRS given as an EPSG code or WKT) on WGS 84,
// or None when they cannot be transformed.
PyObject *lonlat(PyObject *, PyObject *args)
{
    const char *crs;
    Py_ssize_t crs_size;
    PyObject *points;
    if (!PyArg_ParseTuple(args, "s#O:lonlat", &crs, &crs_size, &points))
        return nullptr;
    OwnedRef sequence(PySequence_Fast(points, "points must be a sequence"));
    if (!sequence)
        return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    std::vector<double> xy;
    try {
        xy.resize(2 * static_cast<size_t>(count));
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *point = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (!PyArg_ParseTuple(point, "dd:lonlat", &xy[2 * i], &xy[2 * i + 1]))
            return nullptr;
    }
    bool done;
    try {
        done = to_longitude_latitude(
            std::string(crs, static_cast<size_t>(crs_size)), xy.data(),
            static_cast<size_t>(count));
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    if (!done)
        Py_RETURN_NONE;
    OwnedRef result(PyTuple_New(count));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *pair = Py_BuildValue("(dd)", xy[2 * i], xy[2 * i + 1]);
        if (!pair)
            return nullptr;
        PyTuple_SET_ITEM(result.get(), i, pair);
    }
    return result.release();
}

// epsg_names(code) -> (horizontal, vertical): the names PROJ's database
// gives the EPSG code `code` (an int) as a horizontal and as a vertical
// CRS, None where it names no such CRS (or PROJ is not built in).
PyObject *epsg_names(PyObject *, PyObject *arg)
{
    const long long number = PyLong_AsLongLong(arg);
    if (number == -1 && PyErr_Occurred())
        return nullptr;
    HorizontalCrsFacts horizontal;
    VerticalCrsFacts vertical;
    try {
        const std::string code = std::to_string(number);
        horizontal = horizontal_crs("EPSG", code);
        vertical = vertical_crs("EPSG", code);
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    OwnedRef names[2];
    const bool found[2] = {horizontal.found, vertical.found};
    const std::string *texts[2] = {&horizontal.name, &vertical.name};
    for (int i = 0; i < 2; ++i) {
        if (found[i])
            names[i].reset(PyUnicode_DecodeUTF8(
                texts[i]->data(), static_cast<Py_ssize_t>(texts[i]->size()),
                "replace"));
        else
            names[i] = OwnedRef::borrow(Py_None);
        if (!names[i])
            return nullptr;
    }
    return PyTuple_Pack(2, names[0].get(), names[1].get());
}

// survey_date(text) -> (date, None) or (None, reason): `text` read with
// the date forms of the survey period, where a space may also part an
// extended date from its time ("2019-04-01 00:00:00.0Z", as tables write
// them).
PyObject *survey_date(PyObject *, PyObject *arg)
{
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!text)
        return nullptr;
    SurveyDate date;
    try {
        const std::string written =
            trimmed(std::string_view(text, static_cast<size_t>(size)));
        date = read_survey_date(written);
        if (!date.ok && written.size() > 11 && written[4] == '-' &&
            written[7] == '-' && written[10] == ' ') {
            std::string joined = written;
            joined[10] = 'T';
            SurveyDate with_time = read_survey_date(joined);
            if (with_time.ok)
                date = with_time;
        }
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    const std::string &said = date.ok ? date.s57 : date.reason;
    OwnedRef value(PyUnicode_DecodeUTF8(
        said.data(), static_cast<Py_ssize_t>(said.size()), "replace"));
    if (!value)
        return nullptr;
    if (date.ok)
        return PyTuple_Pack(2, value.get(), Py_None);
    return PyTuple_Pack(2, Py_None, value.get());
}

PyMethodDef survey_methods[] = {
    {"parse",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)),
     METH_VARARGS | METH_KEYWORDS,
     "parse(document, is_bag=False) -> dict or None\n\n"
     "The survey fields of an ISO 19139 (or ISO 19115-3) document, with the\n"
     "problems of those it does not state; None when the document needs\n"
     "the XML library's parser first (a DOCTYPE, an unknown encoding).\n"
     "Raises DocumentError for malformed XML or another standard."},
    {"parse_all",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_all)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_all(document, is_bag=False) -> list or None\n\n"
     "As parse(), for every metadata record of the document (a catalogue's\n"
     "response holds several): a list of their dicts, in document order."},
    {"proj_available", proj_is_available, METH_NOARGS,
     "Whether vertical CRS codes are resolved with PROJ."},
    {"survey_date", survey_date, METH_O,
     "survey_date(text) -> (date, None) or (None, reason)\n\n"
     "A date of a survey period as an S-57 date ('YYYYMMDD', 'YYYYMM' or\n"
     "'YYYY'), or why it is not one."},
    {"lonlat", lonlat, METH_VARARGS,
     "lonlat(crs, points) -> tuple of (longitude, latitude), or None\n\n"
     "The (x, y) points of `crs` (an EPSG code or WKT) on WGS 84, through\n"
     "PROJ; None when they cannot be transformed."},
    {"epsg_names", epsg_names, METH_O,
     "epsg_names(code) -> (horizontal name or None, vertical name or None)"},
    {"verdat", verdat, METH_O,
     "verdat(datum_name) -> the S-57 VERDAT code, or None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_survey(PyObject *module)
{
    const int64_t current = compat::current_interpreter_id();
    if (current == -1)
        return -1;
    if (importing_interpreter == -1) {
        importing_interpreter = current;
    } else if (importing_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return -1;
    }
    SurveyState &state = *new (&state_of(module)) SurveyState();
    // One family of exceptions: DocumentError is a BathyraError.
    OwnedRef errors(PyImport_ImportModule("bathyra.errors"));
    if (!errors)
        return -1;
    OwnedRef base(PyObject_GetAttrString(errors.get(), "BathyraError"));
    if (!base)
        return -1;
    state.document_error = PyErr_NewExceptionWithDoc(
        "bathyra._survey.DocumentError",
        "A document that cannot be read as survey metadata: malformed "
        "XML, or a document of another standard.",
        base.get(), nullptr);
    if (!state.document_error ||
        compat::module_add_object_ref(module, "DocumentError",
                                      state.document_error) < 0 ||
        make_strings(state.strings) < 0)
        return -1;
    OwnedRef salt(PyUnicode_FromString("bathyra._survey"));
    if (!salt)
        return -1;
    // Without the host's expat every document goes the library's way.
    expat::load(state.expat, salt.get());
    return 0;
}

int traverse_survey(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(state_of(module).document_error);
    return 0;
}

int clear_survey(PyObject *module)
{
    SurveyState &state = state_of(module);
    Py_CLEAR(state.document_error);
    for (PyObject *&string : state.strings)
        Py_CLEAR(string);
    return 0;
}

void free_survey(void *module)
{
    clear_survey(static_cast<PyObject *>(module));
}

PyModuleDef_Slot survey_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_survey)},
    BATHYRA_COMPAT_INTERPRETER_SLOT{0, nullptr},
};

PyModuleDef survey_definition = {
    PyModuleDef_HEAD_INIT,
    "_survey",
    "The survey reader's pass over metadata documents.",
    sizeof(SurveyState),
    survey_methods,
    survey_slots,
    traverse_survey,
    clear_survey,
    free_survey,
};

}  // namespace
}  // namespace bathyra

extern "C" PyMODINIT_FUNC PyInit__survey(void)
{
    return PyModuleDef_Init(&bathyra::survey_definition);
}
