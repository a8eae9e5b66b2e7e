#include "state.hpp"

namespace korvalinden {

ProcessState process_state;

}  // namespace korvalinden
