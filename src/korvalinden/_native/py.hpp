// The helper layer: an owning reference handle, the error convention and a few
// call helpers that every function body is written with.
//
// Error convention: a C-API call that fails leaves a Python exception set; the
// helpers then throw PythonError, which unwinds (releasing every Ref on the way)
// to the function boundary in function.cpp, where the traceback entry is added
// and NULL goes back to the host. Paths that expect misses (missing keys in the
// filter) test results instead of throwing.
#pragma once

// Python.h comes before every header of the C and C++ libraries, as the
// C-API asks: its pyconfig.h sets feature macros such as _POSIX_C_SOURCE that
// those headers read once, and a newer CPython's value clashes with the one a
// library header set first. glibc's <features.h>, which every library header
// includes, tells whether one came first.
#if defined(_FEATURES_H) && !defined(Py_PYTHON_H)
#error "py.hpp must be the first include of every source file"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace korvalinden {

// "A Python exception is set": carries no data, the interpreter holds it.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// An owned, possibly null, strong reference.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));  // released last: a finaliser may look at us
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  Ref copy() const noexcept { return borrow(object_); }
  void reset() noexcept { Ref old(std::move(*this)); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A reference kept for the rest of the process. Its destructor deliberately
// does nothing: static destructors run after the interpreter may have been
// finalised, when a decref would touch freed memory.
class ProcessRef {
 public:
  constexpr ProcessRef() noexcept = default;
  ProcessRef(const ProcessRef&) = delete;
  ProcessRef& operator=(const ProcessRef&) = delete;

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void set(Ref object) noexcept { Ref old = Ref::steal(std::exchange(object_, object.release())); }
  void reset() noexcept { set(Ref()); }

 private:
  PyObject* object_ = nullptr;
};

// ---- what differs between CPython versions ----------------------------------
// The bodies never look at the version. The tests live here, down to the
// recursion count, and in three places bound to one object each: the module's
// slots (module.cpp), an empty code object's bytecode (traceback.cpp) and the
// readiness of a str (text.cpp).

// Holds the pending exception aside for its lifetime and restores it after.
class PendingException {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PendingException() noexcept : exception_(Ref::steal(PyErr_GetRaisedException())) {}
  ~PendingException() { PyErr_SetRaisedException(exception_.release()); }
#else
  PendingException() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = Ref::steal(type), value_ = Ref::steal(value), traceback_ = Ref::steal(traceback);
  }
  ~PendingException() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
#endif
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  Ref exception_;
#else
  Ref type_, value_, traceback_;
#endif
};

// Takes the pending exception out of the interpreter as one normalised
// exception object that carries its traceback.
inline Ref take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_traceback = Ref::steal(traceback);
  if (owned_traceback) PyException_SetTraceback(value, owned_traceback.get());
  return Ref::steal(value);
#endif
}

// The exception being handled, as the host keeps it: one object from 3.11 on,
// (type, value, traceback) before.
class HandledState {
 public:
  HandledState() noexcept = default;

  // The one that `sys.exc_info()` shows: the current frame's own, or where it
  // has none (a generator that handles nothing itself), the nearest one of the
  // frames below.
  static HandledState shown() noexcept {
    HandledState state;
#if PY_VERSION_HEX >= 0x030B0000
    state.value_ = Ref::steal(PyErr_GetHandledException());
#else
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    state.type_ = Ref::steal(type), state.value_ = Ref::steal(value), state.traceback_ = Ref::steal(traceback);
#endif
    return state;
  }

  // The state of handling `exception`.
  static HandledState of(PyObject* exception) noexcept {
    HandledState state;
    state.value_ = Ref::borrow(exception);
#if PY_VERSION_HEX < 0x030B0000
    state.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    state.traceback_ = Ref::steal(PyException_GetTraceback(exception));
#endif
    return state;
  }

  // The current frame's own state. The host reads only the state shown and
  // writes only the frame's own, so the own one is found by emptying it: what
  // shows then comes from the frames below, and what showed before and no
  // longer does was the frame's own. Where the very same state shows both
  // ways, the frame held either none or the same one as a frame below; the
  // two look alike from here and from every frame above, and it is taken as
  // none, so that a generator never keeps its caller's exception as its own.
  static HandledState own() noexcept {
    HandledState before = shown();
    HandledState().install();
    HandledState below = shown();
    return before.same_as(below) ? HandledState() : std::move(before);
  }

  // Makes this the current frame's own state.
  void install() const noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(value_.get());
#else
    PyErr_SetExcInfo(type_.copy().release(), value_.copy().release(), traceback_.copy().release());
#endif
  }

 private:
  bool same_as(const HandledState& other) const noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return value_.get() == other.value_.get();
#else
    return type_.get() == other.type_.get() && value_.get() == other.value_.get() &&
           traceback_.get() == other.traceback_.get();
#endif
  }

#if PY_VERSION_HEX < 0x030B0000
  Ref type_, traceback_;
#endif
  Ref value_;
};

// Makes `exception` the one being handled, as inside an `except` clause (code
// run meanwhile sees it as sys.exc_info(), an exception raised meanwhile takes
// it as its __context__), for the lifetime of the scope; then the current
// frame's own state comes back, and every frame's is as it was.
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* exception) noexcept : own_(HandledState::own()) {
    HandledState::of(exception).install();
  }
  ~HandlingScope() { own_.install(); }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  HandledState own_;
};

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

// UnboundLocalError for reading the local `name` before anything was assigned
// to it, in the host's own words, which changed in 3.11.
[[noreturn]] inline void raise_unbound_local(const char* name) {
#if PY_VERSION_HEX >= 0x030B0000
  PyErr_Format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
               name);
#else
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
#endif
  throw_python_error();
}

// Takes ownership of a new reference; throws when the call failed.
inline Ref owned_or_throw(PyObject* new_reference) {
  if (new_reference == nullptr) throw_python_error();
  return Ref::steal(new_reference);
}

inline void throw_if_failed(int status) {
  if (status < 0) throw_python_error();
}

inline Ref none() { return Ref::borrow(Py_None); }

inline Ref get_attr(PyObject* object, PyObject* name) { return owned_or_throw(PyObject_GetAttr(object, name)); }

inline bool is_true(PyObject* object) {
  int truth = PyObject_IsTrue(object);
  throw_if_failed(truth);
  return truth != 0;
}

// ---- the recursion check of a call of a module function ------------------

[[noreturn]] inline void raise_recursion_error() {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
  throw_python_error();
}

// The addresses between which this thread's stack may lie: `lowest`, as far
// down as it may ever grow, and `highest`, its top; both 0 where they cannot be
// found. Read from /proc/self/maps, from the mapping that holds `address`, an
// address on the thread's stack (c_stack.cpp): the C library's own query
// (pthread_getattr_np and the attribute getters) took new symbol versions in
// glibc 2.32 and 2.34, which a wheel for older systems cannot name.
struct StackBounds {
  std::uintptr_t lowest = 0;
  std::uintptr_t highest = 0;
};
StackBounds stack_bounds_around(std::uintptr_t address) noexcept;

// Refuses a call, with RecursionError, where it could run out of C stack. A
// level of the module takes more C stack than a Python frame, so a recursion
// limit raised far enough, or a thread with a small stack, would otherwise let
// a deep filter path run past the end of its thread's stack. From 3.14 the
// host's own check, Py_EnterRecursiveCall, is exactly this one.
class CStackCheck {
 public:
#if PY_VERSION_HEX >= 0x030E0000
  CStackCheck() {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw_python_error();
  }
  ~CStackCheck() { Py_LeaveRecursiveCall(); }
#else
  CStackCheck() {
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < lowest_start()) raise_recursion_error();
  }
#endif
  CStackCheck(const CStackCheck&) = delete;
  CStackCheck& operator=(const CStackCheck&) = delete;

#if PY_VERSION_HEX < 0x030E0000
 private:
  // What a call keeps free below where it starts: room for one level of the
  // module, the code of the caller's that it runs, and the error path that
  // unwinds the levels. The sanitizers' frames are larger.
#if defined(__SANITIZE_ADDRESS__)
  static constexpr std::uintptr_t kReserve = 128 * 1024;
#else
  static constexpr std::uintptr_t kReserve = 64 * 1024;
#endif
  // Assumed of a stack whose bounds cannot be found.
  static constexpr std::uintptr_t kAssumedStack = 1024 * 1024;

  // The lowest address a call may start from on this thread's stack, which
  // grows down; found once per thread.
  static std::uintptr_t lowest_start() noexcept {
    static thread_local std::uintptr_t lowest = 0;
    if (lowest == 0) lowest = find_lowest_start();
    return lowest;
  }

  // The stack's lowest address, plus the reserve, which takes at most a
  // quarter of a small stack.
  static std::uintptr_t find_lowest_start() noexcept {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const StackBounds bounds = stack_bounds_around(here);
    if (bounds.lowest == 0 || bounds.highest <= bounds.lowest) return here - kAssumedStack + kReserve;
    return bounds.lowest + std::min(kReserve, (bounds.highest - bounds.lowest) / 4);
  }
#endif
};

// A call of a module function counts against sys.getrecursionlimit() as one
// call of a Python function does.
//
// Up to 3.11 the host counts every call that arrives through tp_call against
// that limit, as it counts Python frames, so there is nothing to do. From 3.12
// the host counts only Python frames against it, so each call is counted here:
// one level above the innermost module call running on this thread, plus the
// Python frames between the two (a recursion through code of the caller's, such
// as a dict subclass whose __getitem__ calls filter_results, adds them).
// Beneath the outermost module call the count takes the Python frames up to
// kFramesCounted deep, and no further: every frame looked at is a step down the
// caller's stack, and looking at them all would make each call cost more the
// deeper the caller's stack is (16 us a call from depth 3,000 on 3.13). The same
// bound holds between two module calls. So a script's own few frames count
// exactly, and a deep caller's frames beyond the bound do not.
class PythonLevelCount {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PythonLevelCount() : beneath_(innermost_) {
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    const int depth = beneath_.depth + python_frames(frame, beneath_.frame) + 1;
    if (depth > Py_GetRecursionLimit()) raise_recursion_error();
    innermost_ = {frame, depth};
  }
  ~PythonLevelCount() { innermost_ = beneath_; }
#else
  PythonLevelCount() noexcept = default;
#endif
  PythonLevelCount(const PythonLevelCount&) = delete;
  PythonLevelCount& operator=(const PythonLevelCount&) = delete;

#if PY_VERSION_HEX >= 0x030C0000
 private:
  static constexpr int kFramesCounted = 8;

  struct Level {
    const void* frame;  // the Python frame the call came from; only compared (stale after a greenlet switch)
    int depth;          // the levels counted, this call's included; 0: no call
  };

  // The Python frames from `frame` down to `stop` (not included), at most
  // kFramesCounted of them.
  static int python_frames(PyFrameObject* frame, const void* stop) noexcept {
    int count = 0;
    Ref held;  // each frame further down is owned while it is looked at
    while (frame != nullptr && frame != stop && count < kFramesCounted) {
      ++count;
      held = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
      frame = reinterpret_cast<PyFrameObject*>(held.get());
    }
    return count;
  }

  static inline thread_local Level innermost_{nullptr, 0};
  Level beneath_;
#endif
};

// Both checks of a call of a module function, the C stack's first.
struct PythonLevelCall {
  CStackCheck stack;
  PythonLevelCount count;
};

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  return owned_or_throw(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

// callable(*positional, **dict(zip(keyword_names, keyword_values))): `args`
// holds the positional values followed by the keyword values, `keyword_names`
// is a tuple of the keyword names.
inline Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                              PyObject* keyword_names) {
  size_t positional = args.size() - static_cast<size_t>(PyTuple_GET_SIZE(keyword_names));
  return owned_or_throw(PyObject_Vectorcall(callable, args.begin(), positional, keyword_names));
}

// object.name(*args)
inline Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> args = {}) {
  Ref method = get_attr(object, name);
  return call(method.get(), args);
}

// A new dict filled in the order given.
inline Ref new_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
  Ref dict = owned_or_throw(PyDict_New());
  for (const auto& [key, value] : items) throw_if_failed(PyDict_SetItem(dict.get(), key, value));
  return dict;
}

// KeyError(key), with a tuple key kept whole as the one argument, made the
// pending exception (or the failure to make it is).
inline void set_key_error(PyObject* key) noexcept {
  Ref argument = Ref::steal(PyTuple_Pack(1, key));
  if (argument) PyErr_SetObject(PyExc_KeyError, argument.get());
}

// KeyError(key), raised.
[[noreturn]] inline void raise_key_error(PyObject* key) {
  set_key_error(key);
  throw_python_error();
}

// What a lookup of `key` found; empty without an exception set is a dict's
// miss, which becomes KeyError(key).
inline Ref found_or_key_error(Ref value, PyObject* key) {
  if (value) return value;
  if (PyErr_Occurred()) throw_python_error();
  raise_key_error(key);
}

// object[key]
inline Ref get_item(PyObject* object, PyObject* key) {
  if (PyDict_CheckExact(object)) return found_or_key_error(Ref::borrow(PyDict_GetItemWithError(object, key)), key);
  return owned_or_throw(PyObject_GetItem(object, key));
}

}  // namespace korvalinden
