// The source lines that the module's traceback entries name, one row per
// step.  This table is the only place that holds the numbers: the build
// writes the same rows into the Python module bathyra._traceback_lines,
// which the command line and the tests use.  Keep each row on one line in
// the form X(name, number): the build reads them with a pattern.
#pragma once

// clang-format off
#define BATHYRA_TRACEBACK_LINES(X)                                           \
    /* import: constants, the module table entry, __test__ */               \
    X(import_setup, 1)                                                       \
    X(import_xml_library, 2)                                                 \
    X(store_xml_ns, 4)                                                       \
    X(build_xml_ns, 5)                                                       \
    /* the definition of extract_metadata; its argument binding */          \
    X(define_function, 13)                                                   \
    /* the extraction routine */                                             \
    X(read_document, 14)                                                     \
    X(namespace_loop, 15)                                                    \
    X(register_namespace, 16)                                                \
    X(parse_document, 17)                                                    \
    X(find_begin_position, 19)                                               \
    X(find_end_position, 20)                                                 \
    X(find_minimum_value, 21)                                                \
    X(find_maximum_value, 22)                                                \
    X(convert_minimum, 24)                                                   \
    X(convert_maximum, 25)                                                   \
    X(survey_start, 28)                                                      \
    X(survey_end, 29)                                                        \
    X(make_placeholders, 32)                                                 \
    X(find_platforms, 33)                                                    \
    X(platform_loop, 34)                                                     \
    X(test_platform, 35)                                                     \
    X(append_platform, 36)                                                   \
    X(join_platforms, 37)                                                    \
    X(find_citation, 39)                                                     \
    X(citation_text, 40)                                                     \
    X(object_name, 41)                                                       \
    X(build_record, 44)                                                      \
    X(make_drval1, 46)                                                       \
    X(make_drval2, 47)
// clang-format on

namespace bathyra {

enum class Line : int {
#define BATHYRA_LINE_ENUM(name, number) name = number,
    BATHYRA_TRACEBACK_LINES(BATHYRA_LINE_ENUM)
#undef BATHYRA_LINE_ENUM
};

// What a step returns when it did not fail.
constexpr Line no_failure = Line{};

inline bool failed(Line line)
{
    return line != no_failure;
}

}  // namespace bathyra
