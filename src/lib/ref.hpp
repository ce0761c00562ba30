// Ref: a move-only owner of one strong PyObject reference. Every way in is
// explicit (steal a new reference, or take a new one on a borrowed object),
// so no increment hides in a conversion; the destructor releases it on every
// path, error paths and unwinding included.
#pragma once

#include <utility>

#include "lib/python.hpp"

namespace quorvatel::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  /// Takes ownership of a new reference (which may be null).
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  /// Takes a new reference to a borrowed object (which may be null).
  [[nodiscard]] static Ref new_ref(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  /// Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorvatel::py
