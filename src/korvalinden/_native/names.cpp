#include "names.hpp"

namespace korvalinden {
namespace {

// Constant-initialised, so it is ready before any Interned registers itself.
Interned* interned_list = nullptr;
Constant* constant_list = nullptr;

ProcessRef globals_dict;
ProcessRef builtins_module;
BoundBuiltins builtins_bound_at_init;

const Interned kOs{"os"};
const Interned kPath{"path"};

constexpr const char* kNameNotDefined = "name '%U' is not defined";

Ref bind_builtin(const char* text) {
  Ref name = owned_or_throw(PyUnicode_InternFromString(text));
  PyObject* value = PyObject_GetAttr(builtins_module.get(), name.get());
  if (value == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_NameError, kNameNotDefined, name.get());
    }
    throw_python_error();
  }
  return Ref::steal(value);
}

}  // namespace

Interned::Interned(const char* text) noexcept : text_(text), next_(interned_list) { interned_list = this; }

void Interned::create_all() {
  for (Interned* constant = interned_list; constant != nullptr; constant = constant->next_) {
    if (!constant->object_) constant->object_.set(owned_or_throw(PyUnicode_InternFromString(constant->text_)));
  }
}

Constant::Constant(Maker make) noexcept : make_(make), next_(constant_list) { constant_list = this; }

void Constant::create_all() {
  for (Constant* constant = constant_list; constant != nullptr; constant = constant->next_) {
    if (!constant->object_) constant->object_.set(constant->make_());
  }
}

Ref names_tuple(std::initializer_list<const Interned*> names) {
  Ref tuple = owned_or_throw(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t index = 0;
  for (const Interned* name : names) PyTuple_SET_ITEM(tuple.get(), index++, Ref::borrow(name->get()).release());
  return tuple;
}

PyObject* module_dict() noexcept { return globals_dict.get(); }

Ref lookup_global(PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(globals_dict.get(), name);  // borrowed
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) throw_python_error();

  value = PyObject_GetAttr(builtins_module.get(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, kNameNotDefined, name);
    throw_python_error();
  }
  return Ref::steal(value);
}

Ref os_path_function(PyObject* name) {
  return get_attr(get_attr(lookup_global(kOs).get(), kPath).get(), name);
}

const BoundBuiltins& bound_builtins() noexcept { return builtins_bound_at_init; }

void record_module_dict(PyObject* dict) { globals_dict.set(Ref::borrow(dict)); }

void record_builtins_module(PyObject* module) { builtins_module.set(Ref::borrow(module)); }

void bind_builtins() {
  // All four are looked up before any is replaced, so a failed import leaves
  // the previous binding whole.
  Ref print = bind_builtin("print");
  Ref key_error = bind_builtin("KeyError");
  Ref open = bind_builtin("open");
  Ref input = bind_builtin("input");
  builtins_bound_at_init.print.set(std::move(print));
  builtins_bound_at_init.key_error.set(std::move(key_error));
  builtins_bound_at_init.open.set(std::move(open));
  builtins_bound_at_init.input.set(std::move(input));
}

}  // namespace korvalinden
