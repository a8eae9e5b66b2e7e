// Names the function bodies use: interned string constants, the module's
// globals and the four built-ins that are bound once at initialisation.
#pragma once

#include "py.hpp"

namespace korvalinden {

// An interned string constant, declared next to the code that uses it and
// created by create_interned_strings() when the module is initialised.
// Instances must have static storage duration: they link themselves into a
// process-wide list at load time.
class Interned {
 public:
  explicit Interned(const char* text) noexcept;
  Interned(const Interned&) = delete;
  Interned& operator=(const Interned&) = delete;

  PyObject* get() const noexcept { return object_.get(); }
  operator PyObject*() const noexcept { return object_.get(); }

  // Creates every declared constant not yet created; throws on failure.
  static void create_all();

 private:
  const char* text_;
  ProcessRef object_;
  Interned* next_;
};

// A process-wide constant object (a tuple of keyword names, a slice, a number)
// built by `make` when the module is initialised, after the interned strings.
class Constant {
 public:
  using Maker = Ref (*)();
  explicit Constant(Maker make) noexcept;
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;

  PyObject* get() const noexcept { return object_.get(); }
  operator PyObject*() const noexcept { return object_.get(); }

  static void create_all();

 private:
  Maker make_;
  ProcessRef object_;
  Constant* next_;
};

// A tuple of interned names, as vectorcall wants its keyword names.
Ref names_tuple(std::initializer_list<const Interned*> names);

// The module dictionary that every module function uses as its globals.
PyObject* module_dict() noexcept;

// Global name lookup of the bodies: the module dictionary first, then the
// host's builtins module; NameError when neither has it.
Ref lookup_global(PyObject* name);

// os.path.<name>, through the module global `os`.
Ref os_path_function(PyObject* name);

// The built-ins bound at initialisation; later changes to `builtins` or to
// the module do not reach the functions.
struct BoundBuiltins {
  ProcessRef print;
  ProcessRef key_error;
  ProcessRef open;
  ProcessRef input;
};
const BoundBuiltins& bound_builtins() noexcept;

// Initialisation steps, called in order by the module's exec step.
void record_module_dict(PyObject* dict);
void record_builtins_module(PyObject* builtins_module);
void bind_builtins();

}  // namespace korvalinden
