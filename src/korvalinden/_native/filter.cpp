// filter_results: reduces a decoded reply by a filter path.
#include "function.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {"results",       "filters",     "current_filter", "remaining_filters",
                                       "split_filters", "new_results", "result",         "new_dict",
                                       "filter",        "item"};

Ref filter_results(Frame&, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "filter_results is not built yet");
  throw_python_error();
}

}  // namespace

const FunctionDefinition filter_results_function{"filter_results", 31, 2, kLocalNames, filter_results};

}  // namespace korvalinden
