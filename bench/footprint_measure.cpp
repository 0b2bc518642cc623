// A measurement of the footprint tracer on large masks: a 4000 x 4000
// grid with irregular holes traced node by node, and a 20000 x 20000 grid
// traced in blocks of 5 nodes, handed over in chunks of 100 rows as a
// grid pass would; optionally with invalid nodes scattered over them.  Prints
// the time of each phase and the peak resident memory of the process.
//   cmake --build build --target footprint_measure
//   build/src/ext/bag/footprint_measure
#include "footprint_tracer.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

}  // namespace

int main(int argc, char **argv)
{
    // "small", "large" or both; a second argument scatters one invalid
    // node in that many.
    const std::string which = argc > 1 ? argv[1] : "both";
    if (argc > 2)
        noise = std::stoull(argv[2]);
    if (which != "large")
        measure(4000, 1);
    if (which != "small")
        measure(20000, 5);
    return 0;
}
