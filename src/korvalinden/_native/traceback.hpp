// Traceback entries: a module function has no frame of its own while it runs,
// so when an exception leaves a body the function adds one entry naming the
// source line of the statement that failed.
#pragma once

#include "py.hpp"

#include "interpreter_state.hpp"

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

// What an `except` clause catches: the pending exception, taken out of the
// interpreter once it has received the entry for the failing statement.
Ref catch_exception(const LineMarker& line) noexcept;

// The start and end of an `except` clause whose body may run code of the
// caller's. On construction the pending exception is caught and becomes the
// exception being handled, so that code sees it as sys.exc_info() and an
// exception raised inside the handler takes it as its context; on destruction
// the state before comes back.
class HandledException {
 public:
  explicit HandledException(const LineMarker& line) noexcept;
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
  Ref exception_;  // before scope_: the scope is made from it
  HandlingScope scope_;
};

// Raises the pending exception again as raised inside a handler of `caught`:
// it takes `caught` as its context, by the host's own rules.
[[noreturn]] void raise_inside_handler(PyObject* caught);

// An `except` clause whose body, `body()`, runs no code of the caller's: no
// code can see which exception is being handled, so none is made so, and the
// state of every frame stays untouched. An exception the body raises (out of
// memory) still takes the caught one as its context.
template <class Body>
void handle_without_caller_code(const LineMarker& line, Body body) {
  Ref caught = catch_exception(line);
  try {
    body();
  } catch (const PythonError&) {
    raise_inside_handler(caught.get());
  }
}

// `except Exception: pass` for the pending exception: clears it when it is an
// Exception, otherwise leaves it set and throws PythonError again.
void absorb_exception(const LineMarker& line);

}  // namespace korvalinden
