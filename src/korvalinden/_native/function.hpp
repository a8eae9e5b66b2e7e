// The function type of the five module functions: their attributes, their
// argument binding with its messages, and the boundary where a failed body
// gets its traceback entry.
#pragma once

#include "py.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "traceback.hpp"

namespace korvalinden {

inline constexpr std::size_t kMaxParameters = 5;

// The bound arguments of a call, one per parameter in parameter order; the
// slots after the last parameter are null.
using Arguments = std::array<PyObject*, kMaxParameters>;

// What the function type calls: the body behind an adapter that hands it its
// arguments by name (see define_function).
using Body = Ref (*)(LineMarker& line, const Arguments& arguments);

struct FunctionDefinition {
  const char* name;
  int first_line;
  std::size_t parameter_count;               // the first names of local_names
  std::span<const char* const> local_names;  // the code object's co_varnames
  Body body;
};

// A body takes its parameters as named C++ parameters, one PyObject* each,
// after the line marker: Ref body(LineMarker& line, PyObject* results,
// PyObject* filters). define_function<body>(...) counts them and makes the
// adapter that passes the bound arguments in; the compiler refuses a body with
// more parameters than a call can bind.
template <class BodyPointer>
struct BodyParameters;

template <class... Parameters>
struct BodyParameters<Ref (*)(LineMarker&, Parameters...)> {
  static_assert((std::is_same_v<Parameters, PyObject*> && ...), "a body's parameters are PyObject*");
  static constexpr std::size_t count = sizeof...(Parameters);
};

template <auto body, std::size_t... index>
Ref call_with_arguments(LineMarker& line, const Arguments& arguments, std::index_sequence<index...>) {
  return body(line, std::get<index>(arguments)...);
}

template <auto body>
Ref call_with_arguments(LineMarker& line, const Arguments& arguments) {
  return call_with_arguments<body>(line, arguments,
                                   std::make_index_sequence<BodyParameters<decltype(body)>::count>{});
}

template <auto body>
constexpr FunctionDefinition define_function(const char* name, int first_line,
                                             std::span<const char* const> local_names) {
  constexpr std::size_t parameter_count = BodyParameters<decltype(body)>::count;
  static_assert(parameter_count <= kMaxParameters, "a call binds at most kMaxParameters arguments");
  return {name, first_line, parameter_count, local_names, &call_with_arguments<body>};
}

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
