// Change tracking of dictionaries, by version tag or by watcher.
#include "dict_watch.hpp"

#include "module_state.hpp"

namespace bathyra {

namespace {

int on_dict_event(compat::DictWatchEvent, PyObject *dict, PyObject *,
                  PyObject *)
{
    DictWatchRegistry &registry = state.dict_watches;
    for (int i = 0; i < registry.count; ++i)
        if (registry.watches[i]->dict == dict)
            registry.watches[i]->changed = true;
    return 0;
}

}  // namespace

int watch_dict(DictWatch &watch, PyObject *dict)
{
    if (compat::has_dict_version_tag) {
        watch.dict = dict;
        watch.tag = compat::dict_version_tag(dict);
        watch.changed = false;
        return 0;
    }
    DictWatchRegistry &registry = state.dict_watches;
    if (registry.watcher_id < 0) {
        registry.watcher_id = compat::add_dict_watcher(on_dict_event);
        if (registry.watcher_id < 0)
            return -1;
    }
    if (registry.count == DictWatchRegistry::capacity) {
        PyErr_SetString(PyExc_RuntimeError, "too many watched dictionaries");
        return -1;
    }
    if (compat::start_dict_watch(registry.watcher_id, dict) < 0)
        return -1;
    watch.dict = dict;
    watch.changed = false;
    registry.watches[registry.count++] = &watch;
    return 0;
}

bool dict_unchanged(const DictWatch &watch)
{
    if (compat::has_dict_version_tag)
        return !watch.changed &&
               compat::dict_version_tag(watch.dict) == watch.tag;
    return !watch.changed;
}

void dict_accept_current(DictWatch &watch)
{
    if (compat::has_dict_version_tag)
        watch.tag = compat::dict_version_tag(watch.dict);
    watch.changed = false;
}

}  // namespace bathyra
