// Where a call of a module function meets the interpreter's own state: the
// exception being handled, the recursion counter, the C stack's room and the
// collector. Each is read and written where the interpreter keeps it, never
// copied beside it: a copy drifts as soon as a caller switches stacks (greenlets
// swap the interpreter's state, and only that, at every switch) or shares an
// exception with a generator.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <utility>

namespace korvalinden {

// ---- the exception being handled --------------------------------------------
//
// The interpreter keeps it in a stack of items: one for each running generator
// or coroutine, over one for the thread. The top item is the running frame's,
// the one its own `except` clauses write and restore; sys.exc_info() shows the
// nearest item that holds an exception. An item holds one object from 3.11 on,
// (type, value, traceback) before; an empty one holds NULL or None, each kept
// exactly as found.
class HandledSlot {
 public:
  // What the running frame's item holds now.
  static HandledSlot of_running_frame() noexcept {
    const _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    HandledSlot slot;
    slot.value_ = Ref::borrow(item->exc_value);
#if PY_VERSION_HEX < 0x030B0000
    slot.type_ = Ref::borrow(item->exc_type), slot.traceback_ = Ref::borrow(item->exc_traceback);
#endif
    return slot;
  }

  // What an `except` clause that caught `exception` puts there.
  static HandledSlot handling(PyObject* exception) noexcept {
    HandledSlot slot;
    slot.value_ = Ref::borrow(exception);
#if PY_VERSION_HEX < 0x030B0000
    slot.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    slot.traceback_ = Ref::steal(PyException_GetTraceback(exception));
#endif
    return slot;
  }

  // Puts this into the running frame's item, found anew: a greenlet that
  // switched away since has switched back, and its items with it. What the
  // item held is released after, as the interpreter's own `except` does.
  void install() && noexcept {
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    Ref old_value = Ref::steal(std::exchange(item->exc_value, value_.release()));
#if PY_VERSION_HEX < 0x030B0000
    Ref old_type = Ref::steal(std::exchange(item->exc_type, type_.release()));
    Ref old_traceback = Ref::steal(std::exchange(item->exc_traceback, traceback_.release()));
#endif
  }

 private:
  HandledSlot() noexcept = default;

#if PY_VERSION_HEX < 0x030B0000
  Ref type_, traceback_;
#endif
  Ref value_;
};

// Makes `exception` the one being handled, as inside an `except` clause (code
// run meanwhile sees it as sys.exc_info(), an exception raised meanwhile takes
// it as its __context__), for the lifetime of the scope; then the running
// frame's item holds again exactly what it held, and every other item is as it
// was, untouched.
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* exception) noexcept : before_(HandledSlot::of_running_frame()) {
    HandledSlot::handling(exception).install();
  }
  ~HandlingScope() { std::move(before_).install(); }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  HandledSlot before_;
};

// ---- the recursion limit ----------------------------------------------------

// The host's words for a call refused as a call of a C object (every call
// through tp_call up to 3.11, and wherever the C stack runs short), and for a
// call of a Python function refused at the counter of Python frames (3.12 on).
inline constexpr const char* kCallTooDeep = "maximum recursion depth exceeded while calling a Python object";
inline constexpr const char* kPythonCallTooDeep = "maximum recursion depth exceeded";
// What the host's own check of a call adds to its message.
inline constexpr const char* kCallCheckWhere = " while calling a Python object";

[[noreturn]] inline void raise_recursion_error(const char* message) {
  PyErr_SetString(PyExc_RecursionError, message);
  throw_python_error();
}

// A call of a module function counts against sys.getrecursionlimit() as one
// call of a Python function does.
//
// Up to 3.11 the host counts every call that arrives through tp_call against
// that limit, as it counts Python frames, so there is nothing to do. From 3.12
// it counts Python frames on a counter of the thread state, which the call
// counts on too, as a frame does: one step down on entry, refused at the bottom,
// one step back up on leaving. The interpreter has counted the caller's frames
// there already, and sys.setrecursionlimit() and greenlet's switches move the
// counter with every frame on it.
//
// 3.12 and 3.13 also keep a budget of nested C-level calls, on which the host
// charges one unit for every call through tp_call, and none for a call of a
// Python function. The call gives that unit back while it runs, so that a
// recursion through the module reaches the depth of the same recursion in
// Python; the C stack's own check below guards what the budget guarded.
class PythonLevelCount {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PythonLevelCount() : thread_(PyThreadState_Get()) {
    if (thread_->py_recursion_remaining-- <= 0) {
      ++thread_->py_recursion_remaining;
      raise_recursion_error(kPythonCallTooDeep);
    }
    give_back_c_units(thread_, kTpCallUnits);
  }
  ~PythonLevelCount() {
    give_back_c_units(thread_, -kTpCallUnits);
    ++thread_->py_recursion_remaining;
  }
#else
  PythonLevelCount() noexcept = default;
#endif
  PythonLevelCount(const PythonLevelCount&) = delete;
  PythonLevelCount& operator=(const PythonLevelCount&) = delete;

  // What the interpreter's own call of a Python function costs the C-level
  // budget, when the host calls one from C (3.12 and 3.13): its evaluation
  // loop, entered anew, takes two units.
  static constexpr int kEvaluationUnits = 2;

  // Adds `units` to the thread's C-level budget, where there is one.
#if PY_VERSION_HEX >= 0x030C0000
  static void give_back_c_units([[maybe_unused]] PyThreadState* thread, [[maybe_unused]] int units) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    thread->c_recursion_remaining += units;
#endif
  }
#endif

#if PY_VERSION_HEX >= 0x030C0000
 private:
  static constexpr int kTpCallUnits = 1;
  PyThreadState* thread_;  // the calling thread's, which a call never leaves
#endif
};

// A subscription `source[key]` whose class defines __getitem__ as a Python
// function: the interpreter's specialised subscription runs such a __getitem__
// inline, as a call of a Python function, on no C-level budget; through the
// C-API the host enters its evaluation loop for it (3.12 and 3.13). The units
// that costs are given back for the subscription's duration. Elsewhere
// nothing, the free-threaded 3.13 included: it specialises nothing, so its own
// subscription enters the evaluation loop as well.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define KORVALINDEN_INLINE_SUBSCRIPTION 1
#endif
class PythonSubscriptCount {
 public:
#ifdef KORVALINDEN_INLINE_SUBSCRIPTION
  explicit PythonSubscriptCount(PyObject* source)
      : thread_(defines_python_getitem(Py_TYPE(source)) ? PyThreadState_Get() : nullptr) {
    if (thread_) PythonLevelCount::give_back_c_units(thread_, PythonLevelCount::kEvaluationUnits);
  }
  ~PythonSubscriptCount() {
    if (thread_) PythonLevelCount::give_back_c_units(thread_, -PythonLevelCount::kEvaluationUnits);
  }
#else
  explicit PythonSubscriptCount(PyObject*) noexcept {}
#endif
  PythonSubscriptCount(const PythonSubscriptCount&) = delete;
  PythonSubscriptCount& operator=(const PythonSubscriptCount&) = delete;

#ifdef KORVALINDEN_INLINE_SUBSCRIPTION
 private:
  // Whether `type`'s __getitem__, found as the interpreter finds it (the first
  // class along the MRO whose dict holds the name), is a Python function. The
  // classes written in C along it define theirs in C, if at all.
  static bool defines_python_getitem(PyTypeObject* type);

  PyThreadState* thread_;
#endif
};

// Up to 3.10 the host counts every call of a built-in against the recursion
// limit, as it counts a Python frame. A body does some work inline that is such
// a call in Python (the split of a filter step is a call of a str method): it
// counts it the same way, for its duration, so that a recursion through the
// module stops where the same recursion in Python stops, with the same message.
class BuiltinCallCount {
 public:
#if PY_VERSION_HEX < 0x030B0000
  BuiltinCallCount() {
    if (Py_EnterRecursiveCall(kCallCheckWhere) != 0) throw_python_error();
  }
  ~BuiltinCallCount() { Py_LeaveRecursiveCall(); }
#else
  BuiltinCallCount() noexcept = default;
#endif
  BuiltinCallCount(const BuiltinCallCount&) = delete;
  BuiltinCallCount& operator=(const BuiltinCallCount&) = delete;
};

// ---- the C stack ------------------------------------------------------------

// Refuses a call, with RecursionError, where it could run out of C stack. A
// level of the module takes more C stack than a Python frame, so a recursion
// limit raised far enough, or a thread with a small stack, would otherwise let
// a deep filter path run past the end of its thread's stack. From 3.14 the
// host's own check, Py_EnterRecursiveCall, is exactly this one.
class CStackCheck {
 public:
#if PY_VERSION_HEX >= 0x030E0000
  CStackCheck() {
    if (Py_EnterRecursiveCall(kCallCheckWhere) != 0) throw_python_error();
  }
  ~CStackCheck() { Py_LeaveRecursiveCall(); }
#else
  CStackCheck() {
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (!room_.holds(frame) && !make_room(frame)) raise_recursion_error(kCallTooDeep);
  }
#endif
  CStackCheck(const CStackCheck&) = delete;
  CStackCheck& operator=(const CStackCheck&) = delete;

#if PY_VERSION_HEX < 0x030E0000
 private:
  // The frames from which a call may start on this thread: from `lowest`,
  // which leaves the reserve free below, up `span` bytes to the stack's top.
  // Empty until the thread's first call: no frame lies at address 0.
  struct Room {
    std::uintptr_t lowest;
    std::uintptr_t span;
    bool holds(std::uintptr_t frame) const noexcept { return frame - lowest <= span; }
  };

  // Finds the room for a call from `frame` that the room known so far does
  // not hold, making it where the stack can still grow; false where none can
  // be proved (interpreter_state.cpp).
  static bool make_room(std::uintptr_t frame) noexcept;

  static constinit inline thread_local Room room_{};
#endif
};

// Both checks of a call of a module function, the C stack's first.
struct PythonLevelCall {
  CStackCheck stack;
  PythonLevelCount count;
};

// ---- the collector ----------------------------------------------------------

// Makes a new container by `allocate` (which returns a new reference or null)
// without setting off a collection of the cyclic garbage collector. Up to 3.11
// the allocation that crosses the collector's threshold runs the collection on
// the spot, so the collector is held off around it. From 3.12 that allocation
// only schedules the collection, to run when Python code next runs, and there
// is nothing to hold off.
//
// Why holding it off is safe: it is off only across `allocate`, which must run
// no Python code and never let go of the GIL, so no other thread and no code
// of the caller's sees it off, and a gc.disable() made by the caller's code
// stays in force. Nothing is untracked: every object is collected as usual.
// The state before comes back also when the allocation fails.
template <class Allocate>
Ref allocate_without_collection(Allocate allocate) {
#if PY_VERSION_HEX >= 0x030C0000
  Ref object = Ref::steal(allocate());
#else
  const int was_enabled = PyGC_Disable();
  Ref object = Ref::steal(allocate());
  if (was_enabled) PyGC_Enable();
#endif
  if (!object) throw_python_error();
  return object;
}

}  // namespace korvalinden
