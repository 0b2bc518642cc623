// Reading an IHO S-102 file (editions 2.1, 2.2, 3.0) in the helper
// process: its root attributes, its bathymetry instances with their
// attributes, the feature attribute table of its quality, and with the
// grid a pass over each instance's depths and the quality's row ids.
// Runs with the HDF5 library lock held and without the interpreter lock.
//
// The answer is lines of tab-separated fields (no text holds a tab or a
// line break):
//   attr      NAME  KIND  TEXT              a scalar attribute of the root
//   instance  NAME                          a BathymetryCoverage instance,
//   iattr     NAME  ATTR  KIND  TEXT          its attributes,
//   gattr     NAME  ATTR  KIND  TEXT          those of its Group_001,
//   shape     NAME  ROWS  COLS  MEMBERS       its grid's size and members
//   quality   FEATURE  ROWS                 the quality's table, of ROWS,
//   column    NAME  KIND                      its members, then each row:
//   row       INDEX                           its index,
//   value     COLUMN  TEXT                    its members (COLUMN: the
//                                             index of its column line)
//   grid      NAME  NODES  LOW  HIGH  ULOW  UHIGH   with the grid: the
//                                           depths of an instance
//   ids       NAME                          its row ids were read, and
//   cells     NAME  ID  CELLS  NODES  LOW  HIGH    the cells of one id
//   outline   NAME  ID  GEOJSON             the footprint of one id's
//                                           nodes that hold data (after the
//   unlined   NAME  ID  TEXT                pass), or why there is none
//   outlines  NAME  TEXT                    what costs every id's
//   problem   NAME  TEXT                    what could not be read: of an
//                                           instance, of the quality (NAME
//                                           "quality") or of the file ("")
// KIND: s text, i integer (an enumeration's value too), f 32-bit, d
// 64-bit float.  Depths are as the file stores them: positive down.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "footprint_pass.hpp"
#include "label_footprints.hpp"

namespace bathyra {

// The footprints of the source surveys of one instance: the labels
// marked in the pass (label l is the table's id ids[l - 1]) and where the
// instance's nodes are.
struct SurveyOutlines {
    std::string name;
    // The first instance's labels are the footprint's (its source_labels,
    // traced by FootprintSink::trace); the others' are held here.
    bool in_footprint = false;
    std::unique_ptr<LabelFootprints> labels;
    FootprintRequest placement;
    std::string problem;  // why there are none, when not empty
};

struct S102Outcome {
    enum Status {
        ok,
        not_s102,  // HDF5, not S-102 (`is_bag`: it is a BAG file)
        failed,    // `failure` says why
    } status = ok;
    bool is_bag = false;
    std::string lines;
    std::string failure;
    // With the grid: the first instance's footprint, traced after the
    // pass (outside the library's lock), or why there is none.
    std::unique_ptr<FootprintSink> footprint;
    std::string footprint_note;
    std::vector<uint32_t> ids;  // the table's ids, sorted, each once
    std::unordered_map<uint32_t, uint32_t> label_of;
    std::vector<SurveyOutlines> outlines;
};

// Reads the file at `path` (in the file system's encoding); with
// `with_grid` the pass over its grids too.
void read_s102_file(const char *path, bool with_grid, S102Outcome &outcome);

// The answer's document: the lines (with those of the source surveys'
// footprints), a NUL, the footprint's notes, a NUL and its GeoJSON.
// Traces the footprints (s102_answer.cpp; call it without the library's
// lock).
std::string s102_answer(S102Outcome &outcome);

}  // namespace bathyra
