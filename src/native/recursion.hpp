// The depth of calls, counted as the interpreter counts them.
//
// A call of a native function stands where a Python function would be called, so it takes a frame
// of the interpreter's recursion limit (sys.getrecursionlimit()), as that call would: a chain of
// calls through native functions ends in RecursionError at the depth the same chain of Python
// functions does, after linear work, and never runs off the C stack. It also counts against the
// limit that guards the C stack (Py_EnterRecursiveCall), as the interpreter's own entry does.
#pragma once

#include "native/ref.hpp"

namespace native {

// A native call and what it calls on the way to the next one take more of the C stack than one of the
// interpreter's own C frames, which the C limit is made for: it counts as several of them (more under
// AddressSanitizer, whose frames are larger still, as the interpreter's own limit is lower there).
#ifdef __SANITIZE_ADDRESS__
constexpr int kCStackUnits = 4;
#else
constexpr int kCStackUnits = 2;
#endif

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// The two counters live in the thread state, where the interpreter's frames count them.
class Frame {
 public:
  Frame() : thread_(PyThreadState_GetUnchecked()) {
    --thread_->py_recursion_remaining;
    thread_->c_recursion_remaining -= kCStackUnits;
    if (thread_->py_recursion_remaining < 0 || thread_->c_recursion_remaining < 0) [[unlikely]]
      overflow();
  }
  ~Frame() {
    ++thread_->py_recursion_remaining;
    thread_->c_recursion_remaining += kCStackUnits;
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

 private:
  // Raises RecursionError (counters restored) unless the interpreter is handling one already and
  // allows a few more frames for that.
  [[gnu::noinline, gnu::cold]] void overflow() {
    if (thread_->recursion_headroom && thread_->py_recursion_remaining >= -50 &&
        thread_->c_recursion_remaining >= -50)
      return;
    ++thread_->py_recursion_remaining;
    thread_->c_recursion_remaining += kCStackUnits;
    ++thread_->recursion_headroom;  // creating the error may call more
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    --thread_->recursion_headroom;
    throw PythonError{};
  }
  PyThreadState* thread_;
};
#else
// Elsewhere only the public guard of the C stack.
class Frame {
 public:
  Frame() {
    for (int i = 0; i < kCStackUnits; ++i) {
      if (Py_EnterRecursiveCall(" in a native function")) {
        while (i-- > 0) Py_LeaveRecursiveCall();
        throw PythonError{};
      }
    }
  }
  ~Frame() {
    for (int i = 0; i < kCStackUnits; ++i) Py_LeaveRecursiveCall();
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
};
#endif

}  // namespace native
