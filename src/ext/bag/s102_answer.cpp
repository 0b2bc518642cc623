// The answer to a request for an S-102 file: the reader's lines, then,
// traced after the pass and outside the HDF5 library's lock, the
// footprints of each instance's source surveys and the file's own.
#include <cstdlib>
#include <map>
#include <string>
#include <system_error>
#include <thread>

#include "s102_reader.hpp"

namespace bathyra {

namespace {

std::string one_line(std::string text)
{
    for (char &c : text)
        if (c == '\n' || c == '\t' || c == '\r')
            c = ' ';
    return text;
}

// The "outline", "unlined" and "outlines" lines of one instance.
std::string outline_lines(const S102Outcome &outcome,
                          const SurveyOutlines &outlines)
{
    const std::string &name = outlines.name;
    if (!outlines.labels)
        return "outlines\t" + name + "\t" + one_line(outlines.problem) + "\n";
    if (!outlines.labels->problem().empty())
        return "outlines\t" + name + "\t" +
               one_line(outlines.labels->problem()) + "\n";
    std::map<uint32_t, std::string> problems;
    std::string note;
    const std::map<uint32_t, std::string> texts =
        trace_labels_within(*outlines.labels, outlines.placement.geotransform,
                            outlines.placement.crs, problems, note);
    std::string lines;
    if (!note.empty())
        lines += "outlines\t" + name + "\t" + one_line(note) + "\n";
    auto id_of = [&](uint32_t label) {
        return std::to_string(outcome.ids[label - 1]);
    };
    for (const auto &entry : problems) {
        if (entry.first == 0)
            lines +=
                "outlines\t" + name + "\t" + one_line(entry.second) + "\n";
        else
            lines += "unlined\t" + name + "\t" + id_of(entry.first) + "\t" +
                     one_line(entry.second) + "\n";
    }
    for (const auto &entry : texts)
        if (!entry.second.empty())
            lines += "outline\t" + name + "\t" + id_of(entry.first) + "\t" +
                     one_line(entry.second) + "\n";
    return lines;
}

// The lines of the first instance's source surveys, from the footprint's
// own (FootprintSink::source_lines: "footprint N NOTE GEOJSON" and
// "nofootprint N REASON", N the label).
std::string sink_lines(const S102Outcome &outcome,
                       const SurveyOutlines &outlines, const std::string &from)
{
    std::string lines, note;
    size_t at = 0;
    while (at < from.size()) {
        size_t end = from.find('\n', at);
        if (end == std::string::npos)
            end = from.size();
        const std::string line = from.substr(at, end - at);
        at = end + 1;
        const size_t first = line.find('\t');
        const size_t second = line.find('\t', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const unsigned long label =
            std::strtoul(line.c_str() + first + 1, nullptr, 10);
        if (label == 0 || label > outcome.ids.size())
            continue;
        const std::string id = std::to_string(outcome.ids[label - 1]);
        const std::string kind = line.substr(0, first);
        if (kind == "footprint") {
            const size_t third = line.find('\t', second + 1);
            if (third == std::string::npos)
                continue;
            note = line.substr(second + 1, third - second - 1);
            lines += "outline\t" + outlines.name + "\t" + id + "\t" +
                     line.substr(third + 1) + "\n";
        } else if (kind == "nofootprint") {
            lines += "unlined\t" + outlines.name + "\t" + id + "\t" +
                     line.substr(second + 1) + "\n";
        }
    }
    if (!note.empty())
        lines += "outlines\t" + outlines.name + "\t" + note + "\n";
    return lines;
}

}  // namespace

std::string s102_answer(S102Outcome &outcome)
{
    std::string notes = outcome.footprint_note, text;
    bool traced = false;
    auto trace_file = [&] {
        try {
            if (outcome.footprint)
                text = outcome.footprint->trace(std::string(), notes);
            traced = true;
        } catch (const std::exception &) {
            // Said below.
        }
    };
    // The file's footprint (and the first instance's source surveys') in a
    // thread of its own, beside the other instances' (separate tracers may
    // trace at once).
    struct Joined {  // joins the thread however this frame ends
        std::thread thread;
        ~Joined()
        {
            if (thread.joinable())
                thread.join();
        }
    } beside;
    size_t others = 0;
    for (const SurveyOutlines &outlines : outcome.outlines)
        others += !outlines.in_footprint;
    if (outcome.footprint && others > 0) {
        try {
            beside.thread = std::thread(trace_file);
        } catch (const std::system_error &) {
            // Traced here, after the others.
        }
    }
    std::string lines = outcome.lines;
    for (const SurveyOutlines &outlines : outcome.outlines)
        if (!outlines.in_footprint)
            lines += outline_lines(outcome, outlines);
    if (beside.thread.joinable())
        beside.thread.join();
    else
        trace_file();
    for (const SurveyOutlines &outlines : outcome.outlines)
        if (outlines.in_footprint && outcome.footprint)
            lines += sink_lines(outcome, outlines,
                                outcome.footprint->source_lines());
    if (!traced) {
        notes = "not enough memory to trace the footprint";
        text.clear();
    }
    return lines + '\0' + notes + '\0' + text;
}

}  // namespace bathyra
