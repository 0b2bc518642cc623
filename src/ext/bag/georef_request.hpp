// The georeferenced metadata layers that bag.write asks for, read from
// their Python description (see bag._layer_request).
#pragma once

#include <vector>

#include "georef_writer.hpp"
#include "host_compat.hpp"

namespace bathyra {

// Fills `layers` from a list of (group path, keys, refinement keys or
// None, [(member, size)], rows, damaged); false with an exception pending.
// May throw std::bad_alloc, with no exception pending.
bool make_layer_requests(PyObject *list,
                         std::vector<GeorefLayerRequest> &layers);

}  // namespace bathyra
