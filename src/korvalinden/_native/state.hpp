// Everything the module keeps from one call to the next, in one place.
//
// The module's per-module state size is 0: there is one module per process (a
// second interpreter is refused), so its state lives once per process. It is
// written only while the module is imported (but for one cache, which has a
// lock of its own), read by every call, and never torn down: its references are ProcessRefs, which outlive the interpreter.
// The interned names and constants of the bodies are set up with it, by
// Interned::create_all and Constant::create_all (names.hpp).
#pragma once

#include "py.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace korvalinden {

// The built-ins the bodies use, bound once at initialisation: later changes to
// `builtins` or to the module's own attributes do not reach the functions.
struct BoundBuiltins {
  ProcessRef print;
  ProcessRef key_error;
  ProcessRef open;
  ProcessRef input;
};

struct ProcessState {
  // The interpreter that imported the module first; -1 until then.
  std::int64_t interpreter_id = -1;
  // The initialised module; null until an exec step succeeds, and again after
  // one fails, so that the next import starts afresh.
  ProcessRef module;
  // The module's dictionary: the globals of every module function, where a
  // global name is looked up first.
  ProcessRef module_dict;
  // The host's builtins module, where a global name is looked up second.
  ProcessRef builtins_module;
  BoundBuiltins builtins;
  // The type of the five function objects.
  ProcessRef function_type;
  // The name of the traceback entry of a failed import.
  ProcessRef init_entry_name;
  // Code objects of traceback entries by (function's entry name, line), made
  // on first use: an exception that climbs a deep recursion of the filter
  // would otherwise build the same one at every level. Read and filled by
  // calls on any thread, under its lock.
  std::map<std::pair<std::string, int>, ProcessRef> entry_codes;
  ProcessLock entry_codes_lock;
};

extern ProcessState process_state;

}  // namespace korvalinden
