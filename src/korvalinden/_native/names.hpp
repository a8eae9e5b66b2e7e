// Names the function bodies use: interned string constants and constant
// objects, global name lookup, and the built-ins bound at initialisation.
#pragma once

#include "py.hpp"
#include "state.hpp"

namespace korvalinden {

// An interned string constant. A name one file uses is declared in that file,
// next to the code that uses it; a name several files use is declared once,
// below. Instances must have static storage duration: they link themselves
// into a process-wide list at load time, and create_all() makes their string
// objects when the module is initialised.
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
  ProcessRef object_;  // set once by create_all(), so instances are not const
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
  ProcessRef object_;  // set once by create_all(), so instances are not const
  Constant* next_;
};

// The names that more than one file uses.
extern Interned kArgparse, kConfigparser, kGetpass, kOs, kPprint, kSys, kRequests;  // modules
extern Interned kPp, kGetTarvenoxCid, kFilterResults, kTarvenoxApi;                 // module attributes
extern Interned kCid, kUsername, kPassword;                                          // form fields, parameters
extern Interned kGet, kJoin, kJson, kEndswith;                                       // methods
extern Interned kDefaultSection;                                                     // "default"

// A tuple of interned names, as vectorcall wants its keyword names.
Ref names_tuple(std::initializer_list<const Interned*> names);

// Global name lookup of the bodies: the module dictionary first, then the
// host's builtins module; NameError when neither has it.
Ref lookup_global(PyObject* name);

// os.path.<name>, through the module global `os`.
Ref os_path_function(PyObject* name);

// Looks up print, KeyError, open and input in the builtins module and binds
// them into the process state; a missing one raises NameError.
void bind_builtins();

}  // namespace korvalinden
