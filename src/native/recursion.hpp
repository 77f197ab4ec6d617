// The depth of calls, counted as the interpreter counts them.
//
// A call of a native function stands where a Python function would be called, so it takes a frame
// of the interpreter's recursion limit (sys.getrecursionlimit()), as that call would: a chain of
// calls through native functions ends in RecursionError at about the depth the same chain of Python
// functions does, after linear work, and never runs off the C stack. It also counts against the
// limit that guards the C stack (Py_EnterRecursiveCall), as the interpreter's own entry does.
#pragma once

#include <optional>

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
class CountedFrame {
 public:
  CountedFrame() : thread_(PyThreadState_GetUnchecked()) {
    --thread_->py_recursion_remaining;
    thread_->c_recursion_remaining -= kCStackUnits;
    if (thread_->py_recursion_remaining < 0 || thread_->c_recursion_remaining < 0) [[unlikely]]
      overflow();
  }
  ~CountedFrame() {
    ++thread_->py_recursion_remaining;
    thread_->c_recursion_remaining += kCStackUnits;
  }
  CountedFrame(const CountedFrame&) = delete;
  CountedFrame& operator=(const CountedFrame&) = delete;

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
class CountedFrame {
 public:
  CountedFrame() {
    for (int i = 0; i < kCStackUnits; ++i) {
      if (Py_EnterRecursiveCall(" in a native function")) {
        while (i-- > 0) Py_LeaveRecursiveCall();
        throw PythonError{};
      }
    }
  }
  ~CountedFrame() {
    for (int i = 0; i < kCStackUnits; ++i) Py_LeaveRecursiveCall();
  }
  CountedFrame(const CountedFrame&) = delete;
  CountedFrame& operator=(const CountedFrame&) = delete;
};
#endif

// The native frames on this thread's stack, in a variable the thread reaches in one instruction. The
// first few are not counted in the thread state, so an ordinary call, which never nests deep, does
// not pay for reaching it: a chain of native calls ends in RecursionError that many frames later.
[[gnu::tls_model("initial-exec")]] inline thread_local int native_depth = 0;
constexpr int kUncountedFrames = 8;

// One call of a native function, for as long as it runs.
class Frame {
 public:
  Frame() {
    if (++native_depth > kUncountedFrames) [[unlikely]] {
      try {
        counted_.emplace();
      } catch (...) {
        --native_depth;
        throw;
      }
    }
  }
  ~Frame() { --native_depth; }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

 private:
  std::optional<CountedFrame> counted_;
};

}  // namespace native
