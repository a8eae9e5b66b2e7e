// Where the running thread's C stack lies, for CStackCheck (py.hpp).
#include "py.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

namespace korvalinden {
namespace {

std::string read_whole(const char* path) {
  std::string text;
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return text;
  char buffer[16384];
  for (ssize_t count; (count = read(file, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(count));
  close(file);
  return text;
}

// "start-end perms offset device inode   name": the two hexadecimal addresses.
bool parse_range(std::string_view line, std::uintptr_t& start, std::uintptr_t& end) {
  const char* const last = line.data() + line.size();
  auto [dash, error] = std::from_chars(line.data(), last, start, 16);
  if (error != std::errc() || dash == last || *dash != '-') return false;
  return std::from_chars(dash + 1, last, end, 16).ec == std::errc();
}

// The main thread's stack grows on demand, down to its top less RLIMIT_STACK
// and never into the mapping below it.
std::uintptr_t lowest_of_growing_stack(std::uintptr_t top, std::uintptr_t mapping_below_end) {
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= top)
    return mapping_below_end;
  return std::max<std::uintptr_t>(top - limit.rlim_cur, mapping_below_end);
}

}  // namespace

StackBounds stack_bounds_around(std::uintptr_t address) noexcept {
  try {
    const std::string maps = read_whole("/proc/self/maps");
    std::uintptr_t previous_end = 0;
    for (std::string_view rest = maps; !rest.empty();) {
      const std::string_view line = rest.substr(0, rest.find('\n'));
      rest.remove_prefix(std::min(rest.size(), line.size() + 1));
      std::uintptr_t start = 0, end = 0;
      if (!parse_range(line, start, end)) continue;
      if (start <= address && address < end) {
        // A thread of its own has a fixed stack, with its guard mapped apart below.
        const bool growing = line.ends_with("[stack]");
        return {growing ? lowest_of_growing_stack(end, previous_end) : start, end};
      }
      previous_end = end;
    }
  } catch (...) {  // no memory for the map: the bounds stay unknown
  }
  return {};
}

}  // namespace korvalinden
