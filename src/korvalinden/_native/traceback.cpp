#include "traceback.hpp"

// PyFrame_New is declared here, outside Python.h.
#include <frameobject.h>

#include "names.hpp"

namespace korvalinden {
namespace {

constexpr const char* kSourceFile = "src\\korvalinden\\korvalinden.py";

// An unexecuted frame reports the first line of its code object on every
// supported version, so each line an entry can name gets a code object of its
// own, kept in the process state once made. It is made outside the lock, which
// no Python code may run under; where two threads make the same one, the
// first kept serves both.
Ref entry_code(PyObject* function_name, int line) {
  const char* name = PyUnicode_AsUTF8(function_name);
  if (name == nullptr) throw_python_error();
  const std::pair<std::string, int> key{name, line};
  {
    ProcessLock::Held held(process_state.entry_codes_lock);
    const auto found = process_state.entry_codes.find(key);
    if (found != process_state.entry_codes.end()) return Ref::borrow(found->second.get());
  }
  Ref no_names = owned_or_throw(PyTuple_New(0));
  Ref code = make_code(function_name, line, 0, no_names.get());
  ProcessLock::Held held(process_state.entry_codes_lock);
  ProcessRef& cached = process_state.entry_codes[key];
  if (!cached) cached.set(std::move(code));
  return Ref::borrow(cached.get());
}

Ref int_object(long value) { return owned_or_throw(PyLong_FromLong(value)); }

}  // namespace

Ref make_code(PyObject* name, int first_line, int argument_count, PyObject* local_names) {
  // The host builds the empty code object, with bytecode that is safe to run
  // on its own version (exec() of it fails cleanly); only the signature and
  // the local names are ours to set.
  const char* utf8_name = PyUnicode_AsUTF8(name);
  if (utf8_name == nullptr) throw_python_error();
  Ref empty = owned_or_throw(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, utf8_name, first_line)));
  Ref replace = owned_or_throw(PyObject_GetAttrString(empty.get(), "replace"));
  Ref keywords = owned_or_throw(PyDict_New());
  const std::pair<const char*, Ref> fields[] = {
      {"co_argcount", int_object(argument_count)},
      {"co_nlocals", int_object(static_cast<long>(PyTuple_GET_SIZE(local_names)))},
      {"co_varnames", Ref::borrow(local_names)},
      {"co_flags", int_object(CO_OPTIMIZED | CO_NEWLOCALS)},  // a function's frame: no locals dict
  };
  for (const auto& [field, value] : fields) throw_if_failed(PyDict_SetItemString(keywords.get(), field, value.get()));
#if PY_VERSION_HEX < 0x030B0000
  // 3.10's empty code object has no bytecode at all, which the eval loop
  // would read past when it is run; give it what later versions start with:
  // LOAD_ASSERTION_ERROR, RAISE_VARARGS 1.
  Ref raise_assertion = owned_or_throw(PyBytes_FromStringAndSize("\x4a\x00\x82\x01", 4));
  throw_if_failed(PyDict_SetItemString(keywords.get(), "co_code", raise_assertion.get()));
  throw_if_failed(PyDict_SetItemString(keywords.get(), "co_stacksize", int_object(1).get()));
#endif
  return owned_or_throw(PyObject_VectorcallDict(replace.get(), nullptr, 0, keywords.get()));
}

void add_traceback_entry(PyObject* function_name, int line) noexcept {
  PyObject* globals = process_state.module_dict.get();
  if (globals == nullptr) return;
  Ref frame;
  {
    PendingException set_aside;  // no C-API call may run with an exception pending
    try {
      Ref code = entry_code(function_name, line);
      frame = owned_or_throw(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    } catch (const PythonError&) {
      PyErr_Clear();  // the original exception goes on without this entry
    } catch (...) {
    }
  }
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

Ref catch_exception(const LineMarker& line) noexcept {
  line.add_traceback_entry();
  return take_raised_exception();
}

HandledException::HandledException(const LineMarker& line) noexcept
    : exception_(catch_exception(line)), scope_(exception_.get()) {}

void raise_inside_handler(PyObject* caught) {
  Ref raised = take_raised_exception();
  {
    HandlingScope scope(caught);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
  }
  throw_python_error();
}

void absorb_exception(const LineMarker& line) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  catch_exception(line);  // the body is empty: nothing sees the exception handled
}

}  // namespace korvalinden
