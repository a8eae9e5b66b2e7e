// The function type of the five module functions: their attributes, their
// argument binding with its messages, and the boundary where a failed body
// gets its traceback entry.
#pragma once

#include <span>

#include "py.hpp"
#include "traceback.hpp"

namespace korvalinden {

// A body receives its bound arguments, one per parameter, in parameter order.
using Body = Ref (*)(LineMarker& line, PyObject* const* arguments);

inline constexpr int kMaxParameters = 5;

struct FunctionDefinition {
  const char* name;
  int first_line;
  int parameter_count;                   // the first names of local_names
  std::span<const char* const> local_names;  // the code object's co_varnames
  Body body;
};

// The module's full name: function __module__ and traceback-name prefix.
inline constexpr const char* kModuleName = "korvalinden.korvalinden";

// Creates the function type once; later calls do nothing. Throws on failure.
void prepare_function_type();

// A new function object for `definition`, with the module dictionary as globals.
Ref make_function(const FunctionDefinition& definition);

// The five module functions, defined next to their bodies.
extern const FunctionDefinition get_tarvenox_cid_function;
extern const FunctionDefinition filter_results_function;
extern const FunctionDefinition tarvenox_api_function;
extern const FunctionDefinition get_default_config_dir_function;
extern const FunctionDefinition main_function;

}  // namespace korvalinden
