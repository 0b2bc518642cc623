// The answer to a request for an S-102 file: the reader's lines, then,
// traced after the pass and outside the HDF5 library's lock, the
// footprints of each instance's source surveys and the file's own.
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
    // The file's footprint in a thread of its own, beside the source
    // surveys' (separate tracers may trace at once).
    struct Joined {  // joins the thread however this frame ends
        std::thread thread;
        ~Joined()
        {
            if (thread.joinable())
                thread.join();
        }
    } beside;
    if (outcome.footprint && !outcome.outlines.empty()) {
        try {
            beside.thread = std::thread(trace_file);
        } catch (const std::system_error &) {
            // Traced here, after the others.
        }
    }
    std::string lines = outcome.lines;
    for (const SurveyOutlines &outlines : outcome.outlines)
        lines += outline_lines(outcome, outlines);
    if (beside.thread.joinable())
        beside.thread.join();
    else
        trace_file();
    if (!traced) {
        notes = "not enough memory to trace the footprint";
        text.clear();
    }
    return lines + '\0' + notes + '\0' + text;
}

}  // namespace bathyra
