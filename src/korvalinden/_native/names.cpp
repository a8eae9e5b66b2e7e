#include "names.hpp"

namespace korvalinden {
namespace {

// Constant-initialised, so they are ready before any instance registers itself.
Interned* interned_list = nullptr;
Constant* constant_list = nullptr;

Interned kPath{"path"};

constexpr const char* kNameNotDefined = "name '%U' is not defined";

Ref bind_builtin(const char* text) {
  Ref name = owned_or_throw(PyUnicode_InternFromString(text));
  PyObject* value = PyObject_GetAttr(process_state.builtins_module.get(), name.get());
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

Interned kArgparse{"argparse"};
Interned kConfigparser{"configparser"};
Interned kGetpass{"getpass"};
Interned kOs{"os"};
Interned kPprint{"pprint"};
Interned kSys{"sys"};
Interned kRequests{"requests"};
Interned kPp{"pp"};
Interned kGetTarvenoxCid{"get_tarvenox_cid"};
Interned kFilterResults{"filter_results"};
Interned kTarvenoxApi{"tarvenox_api"};
Interned kCid{"CID"};
Interned kUsername{"username"};
Interned kPassword{"password"};
Interned kGet{"get"};
Interned kJoin{"join"};
Interned kJson{"json"};
Interned kEndswith{"endswith"};
Interned kDefaultSection{"default"};

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

Ref lookup_global(PyObject* name) {
  Ref value = dict_item(process_state.module_dict.get(), name);
  if (value) return value;
  if (PyErr_Occurred()) throw_python_error();

  value = Ref::steal(PyObject_GetAttr(process_state.builtins_module.get(), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, kNameNotDefined, name);
    throw_python_error();
  }
  return value;
}

Ref os_path_function(PyObject* name) {
  return get_attr(get_attr(lookup_global(kOs).get(), kPath).get(), name);
}

void bind_builtins() {
  // All four are looked up before any is replaced, so a failed import leaves
  // the previous binding whole.
  Ref print = bind_builtin("print");
  Ref key_error = bind_builtin("KeyError");
  Ref open = bind_builtin("open");
  Ref input = bind_builtin("input");
  BoundBuiltins& bound = process_state.builtins;
  bound.print.set(std::move(print));
  bound.key_error.set(std::move(key_error));
  bound.open.set(std::move(open));
  bound.input.set(std::move(input));
}

}  // namespace korvalinden
