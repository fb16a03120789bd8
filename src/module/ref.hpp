// Owned references to interpreter objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velka {

// Owns one strong reference, or nothing. An empty Ref coming back from a call
// means "failed, the interpreter's exception is set": the caller passes it up.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));  // released after the new value is in place
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (as the C API returns them); null stays empty.
    static Ref steal(PyObject* owned) noexcept {
        Ref ref;
        ref.object_ = owned;
        return ref;
    }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return steal(borrowed);
    }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference over (to the interpreter, or a C API that steals).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace velka
