// The loop of the helper process that reads BAG files for callers in other
// processes: requests on one file descriptor, answers on another.  A crash
// of the HDF5 library on a damaged file ends only this loop's process, and
// the process ends with the one that started it.
//
//   request: path length (4 bytes), size limit (8 bytes), the parts to
//            read (1 byte, ReadPart flags), the path; with part_footprint
//            then the footprint's request's length (4 bytes) and the
//            request (decode_footprint_request)
//   answer:  kind (1 byte), three lengths (4 bytes each), three payloads
//
// Numbers are unsigned and big-endian.  Kinds: 0 the version (length
// 0xFFFFFFFF and no payload when the file has none), the document and the
// elevation summary (encode_summary); 1 the reason of a failure and
// nothing; 2 no memory.  The answer to a footprint request carries in the
// document's place the footprint's notes, a NUL byte and its GeoJSON (empty
// when there is none).  A request with part_s102 reads the file as an
// S-102 file (s102_reply in bag_service.cpp).
#pragma once

namespace bathyra {

// Asks the system to kill this process when the thread that started it
// ends (Linux; elsewhere nothing is asked), then checks that `parent` is
// still this process's parent.  Returns 0, -1 when the parent has already
// ended, or an errno value when the request failed.
int tie_to_parent(long parent);

// Serves requests until `input` ends.  Returns 0 then, or an errno value
// when reading or writing failed.
int serve_bag_requests(int input, int output);

}  // namespace bathyra
