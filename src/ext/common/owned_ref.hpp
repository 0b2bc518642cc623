// Owning references to host objects.
//
// OwnedRef holds exactly one strong reference and releases it when it goes
// out of scope.  Ownership rules, written down once:
//   * OwnedRef(p)            steals the new reference p (p may be null);
//   * OwnedRef::borrow(p)    adds a reference to the borrowed pointer p;
//   * get()                  lends the pointer, ownership stays here;
//   * release()              hands the reference on to the caller;
//   * reset(p)               releases the held reference, then steals p.
// There is no implicit conversion to PyObject*, so an owner cannot be passed
// by accident to a function that steals or releases its argument.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

class OwnedRef {
  public:
    OwnedRef() noexcept = default;
    explicit OwnedRef(PyObject *stolen) noexcept : ptr_(stolen) {}
    OwnedRef(OwnedRef &&other) noexcept : ptr_(other.ptr_)
    {
        other.ptr_ = nullptr;
    }
    OwnedRef &operator=(OwnedRef &&other)
    {
        if (this != &other) {
            reset(other.ptr_);
            other.ptr_ = nullptr;
        }
        return *this;
    }
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    // Releasing may run host code (a finalizer) that ends the thread when
    // the interpreter exits: its forced unwind must pass, hence not
    // noexcept, as no function here that releases is.  Such an unwind runs
    // the destructors of the frames it leaves without the interpreter
    // lock: a last reference is then left to the exiting process rather
    // than freed without the lock.
    ~OwnedRef() noexcept(false)
    {
        if (ptr_ && (Py_REFCNT(ptr_) > 1 || PyGILState_Check()))
            Py_DECREF(ptr_);
    }

    static OwnedRef borrow(PyObject *borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return OwnedRef(borrowed);
    }

    PyObject *get() const noexcept { return ptr_; }
    PyObject *release() noexcept
    {
        PyObject *p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    // The old value is released only after the new one is in place, so a
    // destructor that runs host code never sees a dangling pointer here.
    void reset(PyObject *stolen = nullptr)
    {
        PyObject *old = ptr_;
        ptr_ = stolen;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    PyObject *ptr_ = nullptr;
};

// Replaces a process-wide slot that holds a strong reference (the module's
// constants live in such slots for the life of the process): steals `value`,
// releases the previous content.
inline void replace_held(PyObject *&slot, PyObject *value)
{
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

}  // namespace bathyra
