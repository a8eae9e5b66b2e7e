// The parts of interpreter_state.hpp that are not inline: which subscriptions
// the interpreter runs inline (3.12, 3.13), and, below 3.14, the room on the C
// stack for CStackCheck: where the running thread's stack lies, as the thread
// library knows it, and, on the main thread, how far its stack may still grow.
#include "interpreter_state.hpp"

#include "names.hpp"

#ifdef KORVALINDEN_INLINE_SUBSCRIPTION
namespace korvalinden {
namespace {
Interned kGetitem{"__getitem__"};
}  // namespace

// Looked up as the interpreter looks it up for a subscription, through the
// class's own attribute lookup, which runs no code of the caller's where the
// class's metaclass is `type` itself; a class of another metaclass gets
// nothing back.
bool PythonSubscriptCount::defines_python_getitem(PyTypeObject* type) {
  if (Py_TYPE(type) != &PyType_Type) return false;
  Ref getitem = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), kGetitem));
  if (!getitem) PyErr_Clear();  // none at all: the subscription itself says so
  return getitem && PyFunction_Check(getitem.get());
}

}  // namespace korvalinden
#endif

#if PY_VERSION_HEX < 0x030E0000

#include <alloca.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

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
// The kernel grows no stack to within its guard gap (1 MiB unless set at boot)
// of the mapping below. Only a limit this large can reach that mapping: the
// kernel places mappings at least 128 MiB below the stack's top at start.
constexpr std::uintptr_t kGuardGap = 1024 * 1024;
constexpr rlim_t kLimitThatMayReachBelow = 64 * 1024 * 1024;

std::uintptr_t reserve_of(std::uintptr_t size) { return std::min(kReserve, size / 4); }

std::uintptr_t page_size() { return getauxval(AT_PAGESZ) ? getauxval(AT_PAGESZ) : 4096; }

bool is_main_thread() { return getpid() == static_cast<pid_t>(syscall(SYS_gettid)); }

rlim_t stack_limit() {
  rlimit limit{};
  return getrlimit(RLIMIT_STACK, &limit) == 0 ? limit.rlim_cur : 0;
}

// A thread's stack: its frames lie in [lowest, highest). `growing` for the
// main thread's, which the kernel maps on demand down to `lowest`.
struct StackBounds {
  std::uintptr_t lowest = 0, highest = 0;
  bool growing = false;
  bool holds(std::uintptr_t frame) const noexcept { return lowest < frame && frame < highest; }
};

// ---- the thread library -----------------------------------------------------

// The thread library's stack query, looked up when first needed: below glibc
// 2.34 it lives in libpthread, from 2.34 in the C library, and a reference
// bound at link time to either could not load with the other. Only a lookup
// that found both functions is kept; a failed one is tried again next time.
struct StackQuery {
  using GetAttributes = int (*)(pthread_t, pthread_attr_t*);
  using GetStack = int (*)(const pthread_attr_t*, void**, size_t*);
  GetAttributes get_attributes;
  GetStack get_stack;

  static const StackQuery* find() noexcept {
    static std::atomic<const StackQuery*> found{nullptr};
    static StackQuery query;
    if (const StackQuery* known = found.load(std::memory_order_acquire)) return known;
    auto get_attributes = reinterpret_cast<GetAttributes>(dlsym(RTLD_DEFAULT, "pthread_getattr_np"));
    auto get_stack = reinterpret_cast<GetStack>(dlsym(RTLD_DEFAULT, "pthread_attr_getstack"));
    if (get_attributes == nullptr || get_stack == nullptr) return nullptr;
    // Every thread that gets here finds the same two functions.
    static std::atomic_flag written = ATOMIC_FLAG_INIT;
    if (!written.test_and_set(std::memory_order_acq_rel)) {
      query = {get_attributes, get_stack};
      found.store(&query, std::memory_order_release);
    }
    return found.load(std::memory_order_acquire) ? &query : nullptr;
  }
};

// The running thread's stack as the thread library reports it: a thread of its
// own has its stack mapped whole, its guard apart. The main thread's runs from
// its top down to where the stack limit stops it, or to the mapping below,
// which the library reads from /proc; a child forked from a thread runs on the
// forking thread's stack, which the library knows as that thread's.
bool thread_library_bounds(StackBounds& bounds) {
  const StackQuery* query = StackQuery::find();
  if (query == nullptr) return false;
  pthread_attr_t attributes;
  if (query->get_attributes(pthread_self(), &attributes) != 0) return false;
  void* base = nullptr;
  size_t size = 0;
  const bool found = query->get_stack(&attributes, &base, &size) == 0 && base != nullptr;
  pthread_attr_destroy(&attributes);
  if (!found) return false;
  bounds.lowest = reinterpret_cast<std::uintptr_t>(base);
  bounds.highest = bounds.lowest + size;
  return true;
}

// ---- the kernel's start-up data ---------------------------------------------

// The top of the stack the kernel started the main thread on: the end of the
// page that holds the program's name, the first string the kernel puts there;
// 0 where the kernel did not say.
std::uintptr_t start_up_top() {
  const std::uintptr_t name = getauxval(AT_EXECFN);
  if (name == 0) return 0;
  const std::uintptr_t page = page_size();
  return (name + std::strlen(reinterpret_cast<const char*>(name)) + page) & ~(page - 1);
}

// The lowest address the kernel grows that stack to under `limit`, which counts
// from its top.
std::uintptr_t lowest_under_limit(std::uintptr_t top, rlim_t limit) {
  const std::uintptr_t page = page_size();
  if (limit == RLIM_INFINITY || limit >= top) return 0;
  return (top - limit + page - 1) & ~(page - 1);
}

// Whether the thread library's answer for the main thread is the stack the
// kernel started it on, which grows: the start-up data lies right above it. A
// child forked from a thread runs on that thread's stack, mapped whole and far
// from there.
bool is_start_up_stack(const StackBounds& bounds, std::uintptr_t top) {
  if (top == 0) return true;  // no way to tell: the cautious answer
  return top >= bounds.highest && top - bounds.highest < bounds.highest - bounds.lowest;
}

// The main thread's growing stack. The thread library's answer ends at the
// limit or at the mapping below, whichever comes first; where it ends at the
// mapping, the kernel's guard gap above it is kept clear. The limit is applied
// once more from the very top, which the library's answer may not have done
// for a limit smaller than the program's arguments. Without that answer (no
// /proc) the start-up data alone gives the stack, down to no further than a
// limit that cannot reach the mappings below.
bool growing_bounds(StackBounds& bounds, bool asked, std::uintptr_t top) {
  const rlim_t limit = stack_limit();
  if (!asked) {
    if (top == 0 || limit == 0) return false;
    bounds.highest = top;
    bounds.lowest = lowest_under_limit(top, std::min<rlim_t>(limit, kLimitThatMayReachBelow));
  } else {
    if (limit == RLIM_INFINITY || limit >= kLimitThatMayReachBelow) {
      bounds.lowest = std::min(bounds.highest, bounds.lowest + kGuardGap);
    }
    if (top != 0) bounds.lowest = std::max(bounds.lowest, lowest_under_limit(top, limit));
  }
  bounds.growing = true;
  return true;
}

// The running thread's stack, asked anew: the thread library first, for every
// thread; the kernel's start-up data for a main thread it cannot answer for.
bool current_bounds(StackBounds& bounds) {
  const bool asked = thread_library_bounds(bounds);
  if (!is_main_thread()) return asked;
  const std::uintptr_t top = start_up_top();
  if (asked && !is_start_up_stack(bounds, top)) return true;
  return growing_bounds(bounds, asked, top);
}

// Grows the stack down to `lowest`: moves the stack pointer there and touches
// `lowest`, so that every kernel grows the stack over it (older ones refuse
// accesses far below the stack pointer). The pages stay the stack's for the
// life of the process. The pointer ends a little further down, by the distance
// from this frame's address to it, which the room kept below the growth holds.
[[gnu::noinline]] void grow_stack_to(std::uintptr_t lowest) {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here <= lowest) return;
  const auto block = reinterpret_cast<std::uintptr_t>(alloca(here - lowest));
  *reinterpret_cast<volatile char*>(std::max(block, lowest)) = 0;
}

}  // namespace

// Every miss asks the stack's bounds again: an answer that refused a call is
// never kept, so a limit raised or a stack lowered since is seen at the next
// call. A stack of its own is known whole from one answer; the main thread's
// room reaches down to what it has grown, and grows in steps.
bool CStackCheck::make_room(std::uintptr_t frame) noexcept {
  StackBounds bounds;
  if (!current_bounds(bounds) || !bounds.holds(frame)) return false;
  const std::uintptr_t reserve = reserve_of(bounds.highest - bounds.lowest);
  if (!bounds.growing) {
    room_.lowest = bounds.lowest + reserve;
    room_.span = bounds.highest - room_.lowest;
    return room_.holds(frame);
  }
  const std::uintptr_t page = page_size();
  const std::uintptr_t floor = std::min(bounds.highest, bounds.lowest + kBelowGrowth);
  if (frame < floor + reserve) return false;
  // Grown a step below what this call needs, never below the floor.
  const std::uintptr_t needed = frame - reserve;
  const std::uintptr_t grown = std::max(floor, (needed - std::min(needed, kGrowth)) & ~(page - 1));
  grow_stack_to(grown);
  room_.lowest = grown + reserve;
  room_.span = bounds.highest - room_.lowest;
  return true;
}

}  // namespace korvalinden

#endif
