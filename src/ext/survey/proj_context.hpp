// What the units of bathyra_proj that call PROJ share: the calling
// thread's PROJ context, an owner of PROJ objects, and the reading of a
// CRS's facts.  Only built with PROJ (BATHYRA_HAVE_PROJ).
#pragma once

#ifdef BATHYRA_HAVE_PROJ

#include <string>

#include <proj.h>

#include "proj_lookup.hpp"

namespace bathyra {
namespace proj {

// The PROJ context of the calling thread (network access off, logging
// silenced), or null when none could be made (a later call tries again).
PJ_CONTEXT *thread_context();

// Owns a PROJ object.
class Object {
  public:
    explicit Object(PJ *object) : object_(object) {}
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    ~Object()
    {
        if (object_ != nullptr)
            proj_destroy(object_);
    }
    PJ *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PJ *object_;
};

// The object's name, or empty.
std::string name_of(const PJ *object);

// Whether `text` is `literal`, ASCII letters in either case.
bool equals_ignoring_case(const char *text, const char *literal);

// The facts of a vertical CRS: name, axis direction and unit, datum.
void describe_vertical(PJ_CONTEXT *context, const PJ *crs,
                       VerticalCrsFacts &facts);

}  // namespace proj
}  // namespace bathyra

#endif
