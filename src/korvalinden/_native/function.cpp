#include "function.hpp"

#include <array>
#include <exception>
#include <new>
#include <string>

#include "interpreter_state.hpp"
#include "names.hpp"

namespace korvalinden {
namespace {

struct FunctionFields {
  Ref name;  // __name__ and __qualname__: all five are module-level
  Ref module_name;
  Ref code;
  Ref parameter_names;  // the first co_varnames, kept apart: the code object hides them from 3.11 on
  Ref globals;
  Ref traceback_name;  // "korvalinden.korvalinden.<name>"
};

struct FunctionObject {
  PyObject_HEAD
  const FunctionDefinition* definition;
  FunctionFields fields;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---- argument binding -------------------------------------------------------

constexpr const char* kWrongCount = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char* kNonStringKeyword = "%.200s() keywords must be strings";
constexpr const char* kMultipleValues = "%s() got multiple values for keyword argument '%U'";
constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";
constexpr const char* kNoKeywords = "%.200s() takes no keyword arguments";
constexpr const char* kNoArguments = "%.200s() takes no arguments (%zd given)";

bool same_name(PyObject* key, PyObject* name) {
  return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

[[noreturn]] void raise_wrong_count(const FunctionDefinition& definition, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, kWrongCount, definition.name, "exactly",
               static_cast<Py_ssize_t>(definition.parameter_count), "s", given);
  throw_python_error();
}

// Position of `key` among the parameter names, or -1.
Py_ssize_t parameter_index(PyObject* parameter_names, PyObject* key) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parameter_names); ++i) {
    if (same_name(key, PyTuple_GET_ITEM(parameter_names, i))) return i;
  }
  return -1;
}

// The first keyword, in the mapping's own order, that binds nothing decides the
// error. Only called when some keyword is left over, so one always does.
[[noreturn]] void raise_surplus_keyword(const FunctionDefinition& definition, PyObject* parameter_names,
                                        Py_ssize_t positional_count, PyObject* keywords) {
  Py_ssize_t position = 0;
  PyObject *key, *value;  // borrowed, and held by the dict while its critical section is
  CriticalSection walk(keywords);
  while (PyDict_Next(keywords, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, kNonStringKeyword, definition.name);
      throw_python_error();
    }
    Py_ssize_t index = parameter_index(parameter_names, key);
    if (index >= positional_count) continue;  // a parameter bound by name
    PyErr_Format(PyExc_TypeError, index >= 0 ? kMultipleValues : kUnexpectedKeyword, definition.name, key);
    throw_python_error();
  }
  PyErr_SetString(PyExc_SystemError, "surplus keyword argument not found");
  throw_python_error();
}

// Fills bound[0..n) with the arguments of the call; `keywords` is the call's
// keyword dict or null.
void bind(const FunctionObject* function, PyObject* const* positional, Py_ssize_t positional_count,
          PyObject* keywords, std::array<Ref, kMaxParameters>& bound) {
  const FunctionDefinition& definition = *function->definition;
  const auto parameter_count = static_cast<Py_ssize_t>(definition.parameter_count);
  if (keywords == nullptr) {
    if (positional_count != parameter_count) raise_wrong_count(definition, positional_count);
  } else if (positional_count > parameter_count) {
    raise_wrong_count(definition, positional_count);
  }
  for (Py_ssize_t i = 0; i < positional_count; ++i) bound[i] = Ref::borrow(positional[i]);
  if (keywords == nullptr) return;

  PyObject* parameter_names = function->fields.parameter_names.get();
  Py_ssize_t found = 0;
  for (Py_ssize_t i = positional_count; i < parameter_count; ++i) {
    bound[i] = dict_item(keywords, PyTuple_GET_ITEM(parameter_names, i));
    if (!bound[i]) {
      if (PyErr_Occurred()) throw_python_error();
      raise_wrong_count(definition, i);
    }
    ++found;
  }
  if (PyDict_GET_SIZE(keywords) > found) {
    raise_surplus_keyword(definition, parameter_names, positional_count, keywords);
  }
}

// ---- calling ----------------------------------------------------------------

// Binds the call's arguments and runs the body; a failure leaves with the
// function's traceback entry.
PyObject* bind_and_run(FunctionObject* function, PyObject* args, PyObject* keywords) noexcept {
  const FunctionDefinition& definition = *function->definition;
  const Py_ssize_t positional_count = PyTuple_GET_SIZE(args);
  if (definition.parameter_count == 0) {
    // These two refusals come before the body and carry no traceback entry.
    if (keywords != nullptr && PyDict_GET_SIZE(keywords) > 0) {
      PyErr_Format(PyExc_TypeError, kNoKeywords, definition.name);
      return nullptr;
    }
    if (positional_count > 0) {
      PyErr_Format(PyExc_TypeError, kNoArguments, definition.name, positional_count);
      return nullptr;
    }
  }
  LineMarker line(function->fields.traceback_name.get(), definition.first_line);
  try {
    std::array<Ref, kMaxParameters> bound;  // strong: the body may outlive the caller's hold
    bind(function, &PyTuple_GET_ITEM(args, 0), positional_count, keywords, bound);
    Arguments arguments{};
    for (std::size_t i = 0; i < bound.size(); ++i) arguments[i] = bound[i].get();
    return definition.body(line, arguments).release();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  }
  line.add_traceback_entry();
  return nullptr;
}

// tp_call. The type offers no vectorcall on purpose: the host would then check
// keyword names itself, with a message that does not name the function.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* keywords) {
  try {
    [[maybe_unused]] PythonLevelCall level;
    return bind_and_run(as_function(self), args, keywords);
  } catch (const PythonError&) {
    return nullptr;  // too deep: refused before binding, as the host refuses a call
  }
}

// ---- object protocol --------------------------------------------------------

void function_dealloc(PyObject* self) {
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // instances own their heap type
  PyObject_GC_UnTrack(self);
  as_function(self)->fields.~FunctionFields();
  PyObject_GC_Del(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  const FunctionFields& fields = as_function(self)->fields;
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fields.name.get());
  Py_VISIT(fields.module_name.get());
  Py_VISIT(fields.code.get());
  Py_VISIT(fields.parameter_names.get());
  Py_VISIT(fields.globals.get());
  Py_VISIT(fields.traceback_name.get());
  return 0;
}

int function_clear(PyObject* self) {
  // The globals are the one member that closes a cycle (through the module);
  // the rest is kept so that a call during collection still binds safely.
  as_function(self)->fields.globals.reset();
  return 0;
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->fields.name.get(), self);
}

PyObject* field_or_none(PyObject* value) { return Ref::borrow(value ? value : Py_None).release(); }

PyObject* get_name(PyObject* self, void*) { return field_or_none(as_function(self)->fields.name.get()); }
PyObject* get_module(PyObject* self, void*) { return field_or_none(as_function(self)->fields.module_name.get()); }
PyObject* get_code(PyObject* self, void*) { return field_or_none(as_function(self)->fields.code.get()); }
PyObject* get_globals(PyObject* self, void*) { return field_or_none(as_function(self)->fields.globals.get()); }
PyObject* get_none(PyObject*, void*) { return none().release(); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "korvalinden.korvalinden.function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref interned(const char* text) { return owned_or_throw(PyUnicode_InternFromString(text)); }

Ref local_names_tuple(std::span<const char* const> names) {
  Ref tuple = owned_or_throw(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t i = 0; i < names.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), interned(names[i]).release());
  }
  return tuple;
}

}  // namespace

void prepare_function_type() {
  if (!process_state.function_type) {
    process_state.function_type.set(owned_or_throw(PyType_FromSpec(&function_spec)));
  }
}

Ref make_function(const FunctionDefinition& definition) {
  Ref name = interned(definition.name);
  Ref local_names = local_names_tuple(definition.local_names);
  FunctionFields fields{
      .name = name.copy(),
      .module_name = interned(kModuleName),
      .code = make_code(name.get(), definition.first_line, static_cast<int>(definition.parameter_count),
                        local_names.get()),
      .parameter_names = owned_or_throw(
          PyTuple_GetSlice(local_names.get(), 0, static_cast<Py_ssize_t>(definition.parameter_count))),
      .globals = Ref::borrow(process_state.module_dict.get()),
      .traceback_name = interned((std::string(kModuleName) + "." + definition.name).c_str()),
  };

  auto* type = reinterpret_cast<PyTypeObject*>(process_state.function_type.get());
  FunctionObject* function = PyObject_GC_New(FunctionObject, type);
  if (function == nullptr) throw_python_error();
  function->definition = &definition;
  new (&function->fields) FunctionFields(std::move(fields));
  PyObject_GC_Track(function);
  return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace korvalinden
