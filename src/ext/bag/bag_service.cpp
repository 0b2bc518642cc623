// The request loop of the BAG helper process, and its tie to the process
// that started it.
#include "bag_service.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "bag_reader.hpp"
#include "elevation_summary.hpp"
#include "footprint_pass.hpp"
#include "hdf5_access.hpp"
#include "s102_reader.hpp"

namespace bathyra {

namespace {

constexpr uint32_t no_version = 0xFFFFFFFFu;
enum AnswerKind : unsigned char { answer_ok, answer_failure, answer_memory };

long read_some(int fd, char *data, size_t size)
{
#ifdef _WIN32
    return _read(fd, data, static_cast<unsigned>(size));
#else
    return static_cast<long>(read(fd, data, size));
#endif
}

long write_some(int fd, const char *data, size_t size)
{
#ifdef _WIN32
    return _write(fd, data, static_cast<unsigned>(size));
#else
    return static_cast<long>(write(fd, data, size));
#endif
}

// Fills `data`; returns 1, 0 at the end of the input, -1 with errno set.
int read_exactly(int fd, char *data, size_t size)
{
    while (size > 0) {
        long got = read_some(fd, data, size);
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += got;
        size -= static_cast<size_t>(got);
    }
    return 1;
}

int write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        long put = write_some(fd, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return 0;
}

uint64_t big_endian(const unsigned char *bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

void put_big_endian(std::string &out, uint64_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string answer(AnswerKind kind, const std::string *first,
                   const std::string &second, const std::string &third)
{
    std::string out;
    out.reserve(13 + (first ? first->size() : 0) + second.size() +
                third.size());
    out.push_back(static_cast<char>(kind));
    put_big_endian(out, first ? first->size() : no_version, 4);
    put_big_endian(out, second.size(), 4);
    put_big_endian(out, third.size(), 4);
    if (first)
        out += *first;
    out += second;
    out += third;
    return out;
}

// The answer to a request for an S-102 file: in the version's place what
// the file is ("S-102", "BAG" or "HDF5"), in the document's the lines of
// s102_answer (none unless S-102), or the reason of a failure.
std::string s102_reply(const char *path, unsigned parts)
{
    S102Outcome outcome;
    if (!hdf5::run_locked(
            [&] { read_s102_file(path, (parts & part_grid) != 0, outcome); }))
        return answer(answer_memory, nullptr, std::string(), std::string());
    if (outcome.status == S102Outcome::failed)
        return answer(answer_failure, &outcome.failure, std::string(),
                      std::string());
    const std::string kind = outcome.status == S102Outcome::ok ? "S-102"
                             : outcome.is_bag                  ? "BAG"
                                                               : "HDF5";
    // Traced outside the HDF5 library's lock.
    const std::string document = outcome.status == S102Outcome::ok
                                     ? s102_answer(outcome)
                                     : std::string();
    return answer(answer_ok, &kind, document, std::string());
}

}  // namespace

int tie_to_parent(long parent)
{
#ifdef __linux__
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
        return errno;
#endif
#ifdef _WIN32
    (void)parent;
    return 0;
#else
    // The parent may have ended before the request: this process then
    // belongs to another one already, and no signal will come.
    return static_cast<long>(getppid()) == parent ? 0 : -1;
#endif
}

int serve_bag_requests(int input, int output)
{
    std::vector<char> path;
    std::vector<unsigned char> georeferencing;
    for (;;) {
        unsigned char header[13];
        int got = read_exactly(input, reinterpret_cast<char *>(header),
                               sizeof header);
        if (got <= 0)
            return got == 0 ? 0 : errno;
        const size_t path_length = big_endian(header, 4);
        const uint64_t limit = big_endian(header + 4, 8);
        const unsigned parts = header[12];
        std::string reply;
        try {
            path.assign(path_length + 1, '\0');
            got = read_exactly(input, path.data(), path_length);
            if (got <= 0)
                return got == 0 ? 0 : errno;
            std::unique_ptr<FootprintSink> footprint;
            if (parts & part_s102) {
                reply = s102_reply(path.data(), parts);
            } else if (parts & part_footprint) {
                unsigned char length[4];
                got = read_exactly(input, reinterpret_cast<char *>(length),
                                   sizeof length);
                if (got <= 0)
                    return got == 0 ? 0 : errno;
                georeferencing.assign(big_endian(length, 4), 0);
                got = read_exactly(
                    input, reinterpret_cast<char *>(georeferencing.data()),
                    georeferencing.size());
                if (got <= 0)
                    return got == 0 ? 0 : errno;
                FootprintRequest request;
                if (decode_footprint_request(georeferencing.data(),
                                             georeferencing.size(), request))
                    footprint = std::make_unique<FootprintSink>(request);
            }
            ReadOutcome outcome;
            bool finished = !(parts & part_s102) && hdf5::run_locked([&] {
                read_bag_file(path.data(), limit, parts, outcome,
                              footprint.get());
            });
            if (finished && (parts & part_footprint) &&
                outcome.status == ReadOutcome::ok) {
                // Traced outside the HDF5 library's lock.
                std::string notes = "the grid's position could not be read: "
                                    "no footprint";
                std::string text;
                if (footprint) {
                    text = footprint->trace(outcome.elevation.grid_problem,
                                            notes);
                    outcome.elevation.georef += footprint->source_lines();
                }
                outcome.document = notes + '\0' + text;
            }
            if (parts & part_s102) {
                // Answered above.
            } else if (!finished || outcome.status == ReadOutcome::no_memory) {
                reply = answer(answer_memory, nullptr, std::string(),
                               std::string());
            } else if (outcome.status != ReadOutcome::ok) {
                const std::string reason = failure_reason(outcome, limit);
                reply = answer(answer_failure, &reason, std::string(),
                               std::string());
            } else {
                reply = answer(
                    answer_ok,
                    outcome.has_version ? &outcome.version : nullptr,
                    outcome.document, encode_summary(outcome.elevation));
            }
        } catch (const std::exception &) {
            reply.assign(13, '\0');
            reply[0] = static_cast<char>(answer_memory);
        }
        if (write_all(output, reply.data(), reply.size()) < 0)
            return errno;
    }
}

}  // namespace bathyra
