// Reading bag.write's description of georeferenced metadata layers.
#include "georef_request.hpp"

#include "owned_ref.hpp"

namespace bathyra {

bool make_layer_requests(PyObject *list,
                         std::vector<GeorefLayerRequest> &layers)
{
    OwnedRef items(PySequence_Fast(list, "the layers must be a list"));
    if (!items)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const char *path;
        PyObject *keys, *refined, *members, *rows;
        int damaged;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i),
                              "sSOOSp:layer", &path, &keys, &refined, &members,
                              &rows, &damaged))
            return false;
        if (refined != Py_None && !PyBytes_Check(refined)) {
            PyErr_SetString(PyExc_TypeError, "refinement keys must be bytes");
            return false;
        }
        OwnedRef named(PySequence_Fast(members, "members must be a list"));
        if (!named)
            return false;
        GeorefLayerRequest layer;
        layer.path = path;
        layer.damaged = damaged != 0;
        layer.keys.assign(PyBytes_AS_STRING(keys),
                          static_cast<size_t>(PyBytes_GET_SIZE(keys)));
        if (refined != Py_None)
            layer.refined_keys.assign(
                PyBytes_AS_STRING(refined),
                static_cast<size_t>(PyBytes_GET_SIZE(refined)));
        layer.rows.assign(PyBytes_AS_STRING(rows),
                          static_cast<size_t>(PyBytes_GET_SIZE(rows)));
        for (Py_ssize_t m = 0; m < PySequence_Fast_GET_SIZE(named.get());
             ++m) {
            const char *name;
            unsigned long long size;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(named.get(), m),
                                  "sK:member", &name, &size))
                return false;
            layer.members.emplace_back(name, size);
        }
        layers.push_back(std::move(layer));
    }
    return true;
}

}  // namespace bathyra
