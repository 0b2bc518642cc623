// A measurement of the footprint tracer on large masks: a 4000 x 4000
// grid with irregular holes traced node by node, and a 20000 x 20000 grid
// traced in blocks of 5 nodes, handed over in chunks of 100 rows as a
// grid pass would; optionally with invalid nodes scattered over them.  Prints
// the time of each phase and the peak resident memory of the process.
// "labels-small" and "labels-large" measure the same grids with 300 source
// surveys on them (20 x 15 parts with wavy borders): the file's footprint,
// then each survey's.
//   cmake --build build --target footprint_measure
//   build/src/ext/bag/footprint_measure
//   [small|large|labels-small|labels-large]
#include "footprint_tracer.hpp"
#include "label_footprints.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                         start)
        .count();
}

long peak_kib()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One node in `noise` (0: none) invalid, scattered, as in a sparse survey.
std::uint64_t noise = 0;

// Valid inside a wavy outline, with round holes on a jittered lattice.
bool valid_node(std::uint64_t r, std::uint64_t c, std::uint64_t n)
{
    if (noise != 0 &&
        ((r * 2654435761u) ^ (c * 40503u + (r << 7))) % noise == 0)
        return false;
    const double x = double(c) / double(n), y = double(r) / double(n);
    const double edge = 0.05 + 0.03 * std::sin(y * 40.0);
    if (x < edge || x > 1.0 - edge || y < 0.04 + 0.02 * std::cos(x * 25.0) ||
        y > 0.97)
        return false;
    const double cell = 0.05;
    const double cx = std::floor(x / cell), cy = std::floor(y / cell);
    const double jx = 0.5 + 0.3 * std::sin(cx * 12.9898 + cy * 78.233);
    const double jy = 0.5 + 0.3 * std::cos(cx * 39.346 + cy * 11.135);
    const double dx = x / cell - cx - jx, dy = y / cell - cy - jy;
    const double radius = 0.12 + 0.1 * std::fabs(std::sin(cx * 3.0 + cy));
    return dx * dx + dy * dy > radius * radius;
}

void measure(std::uint64_t n, std::uint64_t block)
{
    const auto start = std::chrono::steady_clock::now();
    bathyra::FootprintTracer tracer(n, n, block);
    const std::uint64_t chunk_rows = 100;
    std::vector<unsigned char> chunk(chunk_rows * n);
    double filling = 0;
    for (std::uint64_t r0 = 0; r0 < n; r0 += chunk_rows) {
        const auto fill_start = std::chrono::steady_clock::now();
        for (std::uint64_t r = 0; r < chunk_rows; ++r)
            for (std::uint64_t c = 0; c < n; ++c)
                chunk[r * n + c] = valid_node(r0 + r, c, n);
        filling += seconds_since(fill_start);
        tracer.add_chunk(r0, 0, chunk_rows, n, chunk.data());
    }
    const double masking = seconds_since(start) - filling;
    const double gt[6] = {400000.0, 1.0, 0.0, 4400000.0, 0.0, 1.0};
    std::string problem;
    const auto trace_start = std::chrono::steady_clock::now();
    const std::string json = tracer.geojson(gt, "EPSG:32618", problem);
    const double tracing = seconds_since(trace_start);
    // A ring opens with "[ [" and its first coordinate.
    std::size_t rings = 0;
    for (std::size_t at = json.find("[ ["); at != std::string::npos;
         at = json.find("[ [", at + 1)) {
        const char next = at + 4 < json.size() ? json[at + 4] : ' ';
        rings += next == '-' || (next >= '0' && next <= '9');
    }
    std::printf(
        "%llu x %llu nodes, blocks of %llu (mask %llu x %llu): "
        "mask %.2f s, trace %.2f s, %zu rings, %zu bytes of GeoJSON%s%s, "
        "peak resident %ld MiB\n",
        (unsigned long long)n, (unsigned long long)n,
        (unsigned long long)block, (unsigned long long)tracer.mask_rows(),
        (unsigned long long)tracer.mask_cols(), masking, tracing, rings,
        json.size(), problem.empty() ? "" : ", problem: ", problem.c_str(),
        peak_kib() / 1024);
}

// The survey of node (r, c) of an n x n grid: one of 20 x 15 parts, their
// borders wavy.
std::uint32_t survey_of(std::uint64_t r, std::uint64_t c, std::uint64_t n)
{
    const double x = double(c) / double(n), y = double(r) / double(n);
    const double across = x + 0.01 * std::sin(y * 90.0);
    const double down = y + 0.01 * std::cos(x * 70.0);
    const auto part = [](double t, int parts) {
        const int p = int(std::floor(t * parts));
        return p < 0 ? 0 : p >= parts ? parts - 1 : p;
    };
    return std::uint32_t(part(down, 15) * 20 + part(across, 20) + 1);
}

// The process's resident memory now ("VmRSS") or at its peak ("VmHWM"),
// in MiB; "reset" makes the peak the present (Linux 4.0 on).
long status_mib(const char *field)
{
    if (std::string(field) == "reset") {
        if (std::FILE *refs = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", refs);
            std::fclose(refs);
        }
        return 0;
    }
    long kib = 0;
    if (std::FILE *status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const std::size_t length = std::strlen(field);
        while (std::fgets(line, sizeof line, status))
            if (std::strncmp(line, field, length) == 0)
                kib = std::atol(line + length + 1);
        std::fclose(status);
    }
    return kib / 1024;
}

void measure_labels(std::uint64_t n, std::uint64_t block)
{
    status_mib("reset");
    const long before = status_mib("VmRSS");
    bathyra::FootprintTracer tracer(n, n, block);
    bathyra::LabelFootprints labels(n, n, block, 4096);
    const std::uint64_t chunk_rows = 100;
    std::vector<unsigned char> chunk(chunk_rows * n);
    std::vector<std::uint32_t> surveys(chunk_rows * n);
    double masking = 0, labelling = 0;
    for (std::uint64_t r0 = 0; r0 < n; r0 += chunk_rows) {
        for (std::uint64_t r = 0; r < chunk_rows; ++r)
            for (std::uint64_t c = 0; c < n; ++c) {
                const bool valid = valid_node(r0 + r, c, n);
                chunk[r * n + c] = valid;
                surveys[r * n + c] = valid ? survey_of(r0 + r, c, n) : 0;
            }
        auto start = std::chrono::steady_clock::now();
        tracer.add_chunk(r0, 0, chunk_rows, n, chunk.data());
        masking += seconds_since(start);
        start = std::chrono::steady_clock::now();
        labels.add_chunk(r0, 0, chunk_rows, n, surveys.data());
        labelling += seconds_since(start);
    }
    const double gt[6] = {400000.0, 1.0, 0.0, 4400000.0, 0.0, 1.0};
    std::string problem, note;
    auto start = std::chrono::steady_clock::now();
    const std::string json = tracer.geojson(gt, "EPSG:32618", problem);
    const double tracing = seconds_since(start);
    const long file_peak = status_mib("VmHWM") - before;
    std::map<std::uint32_t, std::string> problems;
    start = std::chrono::steady_clock::now();
    const auto texts =
        bathyra::trace_labels_within(labels, gt, "EPSG:32618", problems, note);
    const double label_tracing = seconds_since(start);
    std::size_t bytes = 0;
    for (const auto &entry : texts)
        bytes += entry.second.size();
    std::printf(
        "%llu x %llu nodes, blocks of %llu, 300 surveys: mask %.2f s, "
        "labels %.2f s, file's footprint %.2f s (%zu bytes), surveys' "
        "footprints %.2f s (%zu traced, %zu problems, %zu bytes)%s%s, "
        "resident peak %ld MiB above the start up to the file's "
        "footprint, %ld MiB with the surveys' (the chunks handed over: "
        "%llu MiB)\n",
        (unsigned long long)n, (unsigned long long)n,
        (unsigned long long)block, masking, labelling, tracing, json.size(),
        label_tracing, texts.size(), problems.size(), bytes,
        note.empty() ? "" : ", ", note.c_str(), file_peak,
        status_mib("VmHWM") - before,
        (unsigned long long)(chunk.size() + 4 * surveys.size()) >> 20);
}

}  // namespace

int main(int argc, char **argv)
{
    // "small", "large" or both; a second argument scatters one invalid
    // node in that many.
    const std::string which = argc > 1 ? argv[1] : "both";
    if (argc > 2)
        noise = std::stoull(argv[2]);
    if (which == "labels-small" || which == "labels-large") {
        measure_labels(which == "labels-small" ? 4000 : 20000,
                       which == "labels-small" ? 1 : 5);
        return 0;
    }
    if (which != "large")
        measure(4000, 1);
    if (which != "small")
        measure(20000, 5);
    return 0;
}
