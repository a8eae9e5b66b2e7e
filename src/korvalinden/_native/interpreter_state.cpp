// The room on the C stack for CStackCheck (interpreter_state.hpp), below 3.14:
// where each thread's stack lies, found once per thread without reading
// /proc, and, on the main thread, how far its stack may grow.
#include "interpreter_state.hpp"

#if PY_VERSION_HEX < 0x030E0000

#include <alloca.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

// The thread library's stack query took new symbol versions when it moved into
// the C library (glibc 2.32 and 2.34); a module that names those cannot load
// on older systems, and its wheel could not claim them. The old versions are
// the very same functions.
#if defined(__x86_64__) && defined(__GLIBC__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace korvalinden {
namespace {

// What a call keeps free below its frame: room for one level of the module,
// the code of the caller's that it runs, and the error path that unwinds the
// levels; at most a quarter of a small stack. The sanitizers' frames are larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uintptr_t kReserve = 128 * 1024;
#else
constexpr std::uintptr_t kReserve = 64 * 1024;
#endif
// How much further the main thread's stack is grown when a call needs more of
// it, so that a deep recursion grows it now and then, not at every level.
constexpr std::uintptr_t kGrowth = 128 * 1024;
// Kept free below the lowest point the main thread's stack is grown to, within
// its limit: a signal's frame lands below the stack pointer.
constexpr std::uintptr_t kBelowGrowth = 16 * 1024;
// Taken for a stack whose size limit is unlimited: no bound can be proved then.
constexpr std::uintptr_t kAssumedUnlimited = 8 * 1024 * 1024;

std::uintptr_t reserve_of(std::uintptr_t size) { return std::min(kReserve, size / 4); }

std::uintptr_t page_size() { return getauxval(AT_PAGESZ) ? getauxval(AT_PAGESZ) : 4096; }

bool is_main_thread() { return getpid() == static_cast<pid_t>(syscall(SYS_gettid)); }

// The stack of a thread of its own: mapped whole when the thread starts, its
// guard apart, as the thread library reports it without reading /proc.
bool thread_stack(std::uintptr_t& lowest, std::uintptr_t& highest) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* base = nullptr;
  size_t size = 0;
  const bool found = pthread_attr_getstack(&attributes, &base, &size) == 0 && base != nullptr;
  pthread_attr_destroy(&attributes);
  lowest = reinterpret_cast<std::uintptr_t>(base);
  highest = lowest + size;
  return found;
}

// The main thread's stack grows on demand, as far as RLIMIT_STACK lets it from
// its top. The kernel keeps every mapping it places itself at least the limit
// of the start of the process below that top; the limit at the thread's first
// call stands for it, and a limit raised later is not followed.
struct GrowingStack {
  std::uintptr_t top = 0;     // its highest address: the end of the page that holds the program's name
  std::uintptr_t mapped = 0;  // the lowest address known mapped: the kernel never shrinks the stack
  std::uintptr_t first_limit = 0;

  // The program's name is the first string the kernel puts on the stack, at its very top.
  bool find(std::uintptr_t here) {
    const auto name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (name == nullptr) return false;
    const std::uintptr_t page = page_size();
    top = (reinterpret_cast<std::uintptr_t>(name) + std::strlen(name) + page) & ~(page - 1);
    mapped = here & ~(page - 1);
    first_limit = limit_now();
    return here < top && top - here < first_limit;
  }

  static std::uintptr_t limit_now() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kAssumedUnlimited;
    return limit.rlim_cur;
  }

  // How low the stack may be grown now, the room for a signal kept: the limit
  // is read again, since it may have been lowered meanwhile.
  std::uintptr_t lowest_growth() const {
    const std::uintptr_t page = page_size(), limit = std::min(limit_now(), first_limit);
    if (limit >= top - kBelowGrowth) return top;
    return ((top - limit + page - 1) & ~(page - 1)) + kBelowGrowth;
  }
};

// Grows the stack down to `lowest`: moves the stack pointer there and writes
// at `lowest`, so that every kernel grows the stack over it (older ones refuse
// accesses far below the stack pointer). The pages stay the stack's for the
// life of the process. The pointer ends a little further down, by the distance
// from this frame's address to it, which the room kept below the growth holds.
[[gnu::noinline]] void grow_stack_to(std::uintptr_t lowest) {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here <= lowest) return;
  const auto block = reinterpret_cast<std::uintptr_t>(alloca(here - lowest));
  *reinterpret_cast<volatile char*>(std::max(block, lowest)) = 0;
}

enum class StackKind { unknown, fixed, growing, unproved };

thread_local StackKind stack_kind = StackKind::unknown;
thread_local GrowingStack main_stack;

// What this thread's stack is, found at its first call from `here`. A frame
// on no stack whose bounds were found lies on one whose room cannot be proved.
StackKind find_stack(std::uintptr_t here, std::uintptr_t& lowest, std::uintptr_t& highest) {
  if (is_main_thread()) return main_stack.find(here) ? StackKind::growing : StackKind::unproved;
  const bool found = thread_stack(lowest, highest) && lowest < here && here < highest;
  return found ? StackKind::fixed : StackKind::unproved;
}

}  // namespace

bool CStackCheck::make_room(std::uintptr_t frame) noexcept {
  if (stack_kind == StackKind::unknown) {
    std::uintptr_t lowest = 0, highest = 0;
    stack_kind = find_stack(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), lowest, highest);
    if (stack_kind == StackKind::fixed) {
      room_.lowest = lowest + reserve_of(highest - lowest);
      room_.span = highest - room_.lowest;
    }
  }
  // A fixed stack's room is known whole from its first call.
  if (stack_kind != StackKind::growing || frame > main_stack.top) return room_.holds(frame);

  const std::uintptr_t reserve = reserve_of(main_stack.first_limit);
  if (frame < reserve) return false;
  const std::uintptr_t needed = frame - reserve;
  if (needed < main_stack.mapped) {
    const std::uintptr_t lowest = main_stack.lowest_growth();
    if (needed < lowest) return false;
    const std::uintptr_t page = page_size();
    main_stack.mapped = std::max(lowest, (needed - std::min(needed, kGrowth)) & ~(page - 1));
    grow_stack_to(main_stack.mapped);
  }
  room_.lowest = main_stack.mapped + reserve;
  room_.span = main_stack.top - room_.lowest;
  return true;
}

}  // namespace korvalinden

#endif
