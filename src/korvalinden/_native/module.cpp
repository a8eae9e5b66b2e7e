// The module definition and its two initialisation steps. Everything the
// module keeps lives once per process (the per-module state size is 0), so a
// second interpreter is refused and a second import hands back the first
// module object.
#include "py.hpp"

#include <cstdint>
#include <cstdio>
#include <new>

#include "function.hpp"
#include "names.hpp"
#include "traceback.hpp"

namespace korvalinden {
namespace {

constexpr const char* kInterpreterChanged =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char* kAlreadyImported =
    "Module 'korvalinden' has already been imported. Re-initialisation is not supported.";
constexpr const char* kVersionMismatch = "compiletime version %s of module '%.100s' does not match runtime version %s";
constexpr const char* kInitEntryName = "init korvalinden.korvalinden";

Interned kOsPath{"os.path"};
Interned kPrettyPrinter{"PrettyPrinter"};
Interned kWidth{"width"};
Interned kPackages{"packages"};
Interned kUrllib3{"urllib3"};
Interned kDisableWarnings{"disable_warnings"};
Interned kTest{"__test__"};

Constant kWidthKeyword{[] { return names_tuple({&kWidth}); }};
Constant kPrettyPrinterWidth{[] { return owned_or_throw(PyLong_FromLong(200)); }};

// ---- create step ------------------------------------------------------------

void check_interpreter() {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) throw_python_error();
  if (process_state.interpreter_id == -1) {
    process_state.interpreter_id = current;
  } else if (process_state.interpreter_id != current) {
    PyErr_SetString(PyExc_ImportError, kInterpreterChanged);
    throw_python_error();
  }
}

enum class WhenNone { copy, skip };

// dict[key] = spec.attribute; a spec without the attribute is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attribute, const char* key, WhenNone none) {
  PyObject* value = PyObject_GetAttrString(spec, attribute);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return;
  }
  Ref owned = Ref::steal(value);
  if (none == WhenNone::skip && value == Py_None) return;
  throw_if_failed(PyDict_SetItemString(dict, key, value));
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  try {
    check_interpreter();
    if (process_state.module) return Ref::borrow(process_state.module.get()).release();
    Ref name = owned_or_throw(PyObject_GetAttrString(spec, "name"));
    Ref module = owned_or_throw(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    copy_spec_attribute(spec, dict, "loader", "__loader__", WhenNone::copy);
    copy_spec_attribute(spec, dict, "origin", "__file__", WhenNone::copy);
    copy_spec_attribute(spec, dict, "parent", "__package__", WhenNone::copy);
    copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", WhenNone::skip);
    return module.release();
  } catch (const PythonError&) {
    return nullptr;
  }
}

// ---- exec step --------------------------------------------------------------

// Warns when the running interpreter is not the version the module was built for.
void check_version() {
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) == 2 && major == PY_MAJOR_VERSION &&
      minor == PY_MINOR_VERSION) {
    return;
  }
  char compiled[16], running[16];
  std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  std::snprintf(running, sizeof running, "%d.%d", major, minor);
  throw_if_failed(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, kVersionMismatch, compiled, kModuleName, running));
}

void enter_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  Ref full_name = owned_or_throw(PyUnicode_InternFromString(kModuleName));
  int present = PyDict_Contains(modules, full_name.get());
  throw_if_failed(present);
  if (!present) throw_if_failed(PyDict_SetItem(modules, full_name.get(), module));
}

// `import name`: level 0, the module dict as globals, fresh locals, empty
// from-list; the top-level package is bound under the first component.
void import_statement(PyObject* dict, PyObject* name, PyObject* bound_as) {
  Ref locals = owned_or_throw(PyDict_New());
  Ref from_list = owned_or_throw(PyList_New(0));
  Ref package = owned_or_throw(PyImport_ImportModuleLevelObject(name, dict, locals.get(), from_list.get(), 0));
  throw_if_failed(PyDict_SetItem(dict, bound_as, package.get()));
}

void bind_function(PyObject* dict, const FunctionDefinition& definition) {
  Ref function = make_function(definition);
  throw_if_failed(PyDict_SetItemString(dict, definition.name, function.get()));
}

// The source lines that a failed import reports in its traceback entry.
namespace init_lines {
constexpr int preparation = 1;  // the steps before the first statement, and `__test__ = {}` at the end
constexpr int pretty_printer = 12;
constexpr int disable_warnings = 13;
// The import statements are on lines 2 to 10, and each function statement
// reports the function's first line: see run_top_level_statements.
}  // namespace init_lines

// The module's top-level statements, in source order; `line` is set to each
// statement's source line before it runs.
void run_top_level_statements(PyObject* dict, int& line) {
  const struct {
    int line;
    const Interned& name;
    const Interned& bound_as;
  } imports[] = {
      {2, kArgparse, kArgparse}, {3, kConfigparser, kConfigparser}, {4, kGetpass, kGetpass}, {5, kOs, kOs},
      {6, kOsPath, kOs},  // binds the top-level os again
      {7, kPprint, kPprint},     {8, kSys, kSys},                   {10, kRequests, kRequests},
  };
  for (const auto& import : imports) {
    line = import.line;
    import_statement(dict, import.name, import.bound_as);
  }

  line = init_lines::pretty_printer;
  Ref pretty_printer_class = get_attr(lookup_global(kPprint).get(), kPrettyPrinter);
  Ref pp = call_with_keywords(pretty_printer_class.get(), {kPrettyPrinterWidth}, kWidthKeyword);
  throw_if_failed(PyDict_SetItem(dict, kPp, pp.get()));

  line = init_lines::disable_warnings;
  Ref packages = get_attr(lookup_global(kRequests).get(), kPackages);
  Ref urllib3 = get_attr(packages.get(), kUrllib3);
  call_method(urllib3.get(), kDisableWarnings);

  for (const FunctionDefinition* definition : {&get_tarvenox_cid_function, &filter_results_function,
                                               &tarvenox_api_function, &get_default_config_dir_function,
                                               &main_function}) {
    line = definition->first_line;
    bind_function(dict, *definition);
  }

  line = init_lines::preparation;
  Ref test_dict = owned_or_throw(PyDict_New());
  throw_if_failed(PyDict_SetItem(dict, kTest, test_dict.get()));
}

// Steps from recording the module on; `line` is what a failure reports.
void initialise(PyObject* module, int& line) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) throw_python_error();
  process_state.module_dict.set(Ref::borrow(dict));
  line = init_lines::preparation;
  if (!process_state.init_entry_name) {
    process_state.init_entry_name.set(owned_or_throw(PyUnicode_InternFromString(kInitEntryName)));
  }

  Ref builtins = owned_or_throw(PyImport_ImportModule("builtins"));
  process_state.builtins_module.set(builtins.copy());
  throw_if_failed(PyObject_SetAttrString(module, "__builtins__", builtins.get()));

  Interned::create_all();
  enter_in_sys_modules(module);
  bind_builtins();
  Constant::create_all();
  run_top_level_statements(dict, line);
}

int exec_module(PyObject* module) {
  if (process_state.module) {
    if (process_state.module.get() == module) return 0;  // reload, or re-import of the recorded module
    PyErr_SetString(PyExc_RuntimeError, kAlreadyImported);
    return -1;
  }
  try {
    check_version();
    prepare_function_type();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitEntryName);
    return -1;
  }

  process_state.module.set(Ref::borrow(module));
  int line = 0;  // stays 0 while the module dictionary is not yet known
  try {
    initialise(module, line);
    return 0;
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (line != 0 && process_state.init_entry_name) {
    add_traceback_entry(process_state.init_entry_name.get(), line);
  }
  process_state.module.reset();  // a later import starts afresh with a new module
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The process-wide state cannot serve two interpreters: the host refuses
    // isolated sub-interpreters itself, and the create step refuses the rest.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Safe without the GIL: the process-wide state is written during import,
    // under the import lock, or under a lock of its own, and a caller's lists
    // and dicts are read through strong references (py.hpp).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvalinden",
    nullptr,  // no docstring
    0,        // no per-module state: see the note at the top
    nullptr,  // the functions are bound by the exec step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korvalinden

PyMODINIT_FUNC PyInit_korvalinden() { return PyModuleDef_Init(&korvalinden::module_definition); }
