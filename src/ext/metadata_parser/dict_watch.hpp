// Change tracking of dictionaries: whether a dictionary changed since a
// moment of reference.  Hosts up to 3.11 tell by the dictionary's version
// tag; from 3.12 (tag deprecated) a dictionary watcher marks the tracked
// dictionaries.
#pragma once

#include <cstdint>

#include "host_compat.hpp"

namespace bathyra {

struct DictWatch {
    PyObject *dict = nullptr;  // borrowed: the owner keeps the dictionary
    uint64_t tag = 0;
    bool changed = true;
};

// The tracked dictionaries, for the watcher's callback.
struct DictWatchRegistry {
    static constexpr int capacity = 8;
    int watcher_id = -1;
    DictWatch *watches[capacity] = {};
    int count = 0;
};

// Starts tracking `dict` (borrowed; `watch` must live for the process);
// its current content is the reference.  Returns 0, or -1 with an
// exception pending.
int watch_dict(DictWatch &watch, PyObject *dict);

// Whether the dictionary is as it was at the reference.
bool dict_unchanged(const DictWatch &watch);

// The current content becomes the reference.
void dict_accept_current(DictWatch &watch);

}  // namespace bathyra
