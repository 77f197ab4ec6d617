// The C boundary: every function the interpreter calls runs its body through guard().
#pragma once

#include <exception>
#include <new>

#include "native/ref.hpp"

namespace native {

// Cold path, kept out of line: turns the active C++ exception into a Python exception.
[[gnu::noinline, gnu::cold]] void translate_exception() noexcept;

// Runs `body`; a C++ exception becomes a Python exception here and nowhere else.
template <class Result, class Body>
Result guard(Result on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_exception();
    return on_error;
  }
}

}  // namespace native
