// Traceback entries: a module function has no frame of its own while it runs,
// so when an exception leaves a body the function adds one entry naming the
// source line of the statement that failed.
#pragma once

#include "py.hpp"

namespace korvalinden {

// A code object for introspection and traceback entries; it holds no bytecode.
Ref make_code(PyObject* name, int first_line, int argument_count, PyObject* local_names);

// Adds an entry "function_name" at `line` to the pending exception. Never
// fails: if the entry cannot be made the exception goes on without it.
void add_traceback_entry(PyObject* function_name, int line) noexcept;

// The source line of the statement a body is running: each statement marks
// its line with at() before it does anything that can fail, and the function
// boundary reads it when an exception leaves the body.
class LineMarker {
 public:
  LineMarker(PyObject* traceback_name, int line) noexcept : traceback_name_(traceback_name), line_(line) {}
  LineMarker(const LineMarker&) = delete;
  LineMarker& operator=(const LineMarker&) = delete;

  void at(int line) noexcept { line_ = line; }
  void add_traceback_entry() const noexcept { korvalinden::add_traceback_entry(traceback_name_, line_); }

 private:
  PyObject* traceback_name_;  // borrowed from the function object, which outlives the call
  int line_;
};

// The start and end of an `except` clause. On construction the pending
// exception receives the entry for the failing statement and becomes the
// exception being handled, so an exception raised inside the handler takes it
// as its context; on destruction the previously handled exception is restored.
class HandledException {
 public:
  explicit HandledException(const LineMarker& line) noexcept;
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
  static Ref entered(const LineMarker& line) noexcept;

  Ref exception_;  // before scope_: the scope is made from it
  HandlingScope scope_;
};

// `except Exception: pass` for the pending exception: clears it when it is an
// Exception, otherwise leaves it set and throws PythonError again.
void absorb_exception(const LineMarker& line);

}  // namespace korvalinden
