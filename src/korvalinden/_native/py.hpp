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
// The bodies never look at the version. The tests live here, in
// interpreter_state.hpp (where a call meets the interpreter's own state), and
// in three places bound to one object each: the module's slots (module.cpp),
// an empty code object's bytecode (traceback.cpp) and the readiness of a str
// (text.cpp).

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

// ---- a caller's lists and dicts, and the process's own state, across threads --
// On a free-threaded build (Py_GIL_DISABLED) another thread may change a
// caller's list or dict while a call reads it: an item is taken as a strong
// reference by the very call that finds it, and a walk of a dict's entries
// holds the dict's critical section. State the process keeps is written under
// a lock. With the GIL, the borrowed item held at once is the same, and the
// lock and the critical section are not needed.

// list[index] (a list or a subclass), or empty where the list now ends before
// `index`, as a list's own iterator ends there. Without the GIL it is read
// under the list's critical section, as the list's own methods read it.
inline Ref list_item(PyObject* list, Py_ssize_t index) noexcept;

// dict[key] of an exact dict: empty and no exception set where the key is
// missing, empty with the exception set where the lookup failed.
inline Ref dict_item(PyObject* dict, PyObject* key) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* value = nullptr;
  PyDict_GetItemRef(dict, key, &value);
  return Ref::steal(value);
#else
  return Ref::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// Holds `object`'s critical section for its lifetime, on a free-threaded build.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_;
#endif
};

inline Ref list_item(PyObject* list, Py_ssize_t index) noexcept {
  [[maybe_unused]] CriticalSection reading(list);
  return index < PyList_GET_SIZE(list) ? Ref::borrow(PyList_GET_ITEM(list, index)) : Ref();
}

// A lock over state the process keeps, taken by ProcessLock::Held for its
// lifetime on a free-threaded build. Nothing that can run Python code may run
// while it is held.
class ProcessLock {
 public:
  class Held {
   public:
#ifdef Py_GIL_DISABLED
    explicit Held(ProcessLock& lock) noexcept : mutex_(lock.mutex_) { PyMutex_Lock(&mutex_); }
    ~Held() { PyMutex_Unlock(&mutex_); }
#else
    explicit Held(ProcessLock&) noexcept {}
#endif
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

#ifdef Py_GIL_DISABLED
   private:
    PyMutex& mutex_;
#endif
  };

#ifdef Py_GIL_DISABLED
 private:
  PyMutex mutex_{};
#endif
};

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
  if (PyDict_CheckExact(object)) return found_or_key_error(dict_item(object, key), key);
  return owned_or_throw(PyObject_GetItem(object, key));
}

}  // namespace korvalinden
