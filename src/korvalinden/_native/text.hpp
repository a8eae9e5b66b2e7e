// Text helpers shared by the filter and the configuration reader.
#pragma once

#include "py.hpp"

namespace korvalinden {

// [item.strip() for item in text.split(separator)], as a new list. An exact
// str is handled directly; anything else goes through its own methods.
Ref split_and_strip(PyObject* text, PyObject* separator);

}  // namespace korvalinden
