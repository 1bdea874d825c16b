// Allocation-failure shim for `make faults`, loaded with LD_PRELOAD into the interpreter that
// runs faults/sweep.py. It puts itself in front of malloc and its relatives and of every form of
// operator new, counts the allocations made while it is armed, and fails the nth of them (once,
// or that one and every later one). It also counts the C++ blocks alive, so that the sweep can
// tell a leaked record from a cached one.
//
// Allocations go to glibc's own entry points (__libc_malloc and friends), so a block from here
// and one from the unshimmed allocator are the same kind and free() takes either. Single
// threaded by design: the sweep arms it only around one call on the Python thread.

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include <csignal>

#include <execinfo.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

#define KELDRIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool armed = false;
bool persistent = false;
long long target = -1;  // below 0: count without failing
long long counted = 0;
long long injected = 0;
long long live_new = 0;

// With KELDRIN_FAULT_BACKTRACE set, the stack of every failed allocation goes to stderr: the
// way to find which call a failing point comes from.
void print_backtrace() {
  static bool inside = false;
  if (inside || std::getenv("KELDRIN_FAULT_BACKTRACE") == nullptr) return;
  inside = true;
  const bool was_armed = std::exchange(armed, false);
  void* frames[48];
  const int depth = backtrace(frames, 48);
  backtrace_symbols_fd(frames, depth, STDERR_FILENO);
  (void)!write(STDERR_FILENO, "--\n", 3);
  armed = was_armed;
  inside = false;
}

bool should_fail() {
  if (!armed) return false;
  const long long index = counted++;
  if (target < 0 || index < target || (index > target && !persistent)) return false;
  ++injected;
  print_backtrace();
  return true;
}

void* new_block(std::size_t size, std::size_t alignment) {
  if (should_fail()) return nullptr;
  if (size == 0) size = 1;
  void* block = alignment > alignof(std::max_align_t) ? __libc_memalign(alignment, size)
                                                      : __libc_malloc(size);
  if (block != nullptr) ++live_new;
  return block;
}

void* new_or_throw(std::size_t size, std::size_t alignment) {
  void* block = new_block(size, alignment);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void delete_block(void* block) {
  if (block == nullptr) return;
  --live_new;
  __libc_free(block);
}

// A crash prints its stack to stderr, so that the sweep can tell a crash inside one of the
// interpreter's own calls from one in the module's code; then the signal takes its course.
void report_crash(int signal_number) {
  static const char kMarker[] = "keldrin-fault-crash\n";
  (void)!write(STDERR_FILENO, kMarker, sizeof kMarker - 1);
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

__attribute__((constructor)) void install_crash_report() {
  void* frame;
  backtrace(&frame, 1);  // loads the unwinder now, not inside a signal handler
  std::signal(SIGSEGV, report_crash);
  std::signal(SIGBUS, report_crash);
}

}  // namespace

// ---- Control, called from the sweep through ctypes -------------------------------------------

/// Starts counting allocations from 0; the `fail_at`th fails (and every later one if
/// `fail_after` is set). A negative `fail_at` counts without failing.
KELDRIN_EXPORT void keldrin_fault_arm(long long fail_at, int fail_after) {
  target = fail_at;
  persistent = fail_after != 0;
  counted = 0;
  injected = 0;
  armed = true;
}

/// Stops failing and counting; returns the number of allocations counted while armed.
KELDRIN_EXPORT long long keldrin_fault_disarm() {
  armed = false;
  return counted;
}

/// Prints the calling stack to stderr: for finding where a sweep point's output comes from.
KELDRIN_EXPORT void keldrin_fault_backtrace() {
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
}

/// How many allocations were failed since the last arm.
KELDRIN_EXPORT long long keldrin_fault_injected() { return injected; }

/// Blocks from operator new not yet given back to operator delete.
KELDRIN_EXPORT long long keldrin_fault_live_new() { return live_new; }

// ---- The C allocator ---------------------------------------------------------------------------

KELDRIN_EXPORT void* malloc(std::size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

KELDRIN_EXPORT void* calloc(std::size_t count, std::size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

KELDRIN_EXPORT void* realloc(void* block, std::size_t size) {
  // realloc(p, 0) frees, and freeing never fails.
  if (size != 0 && should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(block, size);
}

KELDRIN_EXPORT void* memalign(std::size_t alignment, std::size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_memalign(alignment, size);
}

KELDRIN_EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return memalign(alignment, size);
}

KELDRIN_EXPORT int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (should_fail()) return ENOMEM;
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

// ---- operator new and delete, every form ------------------------------------------------------

__attribute__((visibility("default"))) void* operator new(std::size_t size) {
  return new_or_throw(size, 0);
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size) {
  return new_or_throw(size, 0);
}
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          const std::nothrow_t&) noexcept {
  return new_block(size, 0);
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size,
                                                            const std::nothrow_t&) noexcept {
  return new_block(size, 0);
}
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          std::align_val_t alignment) {
  return new_or_throw(size, static_cast<std::size_t>(alignment));
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size,
                                                            std::align_val_t alignment) {
  return new_or_throw(size, static_cast<std::size_t>(alignment));
}
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          std::align_val_t alignment,
                                                          const std::nothrow_t&) noexcept {
  return new_block(size, static_cast<std::size_t>(alignment));
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size,
                                                            std::align_val_t alignment,
                                                            const std::nothrow_t&) noexcept {
  return new_block(size, static_cast<std::size_t>(alignment));
}

__attribute__((visibility("default"))) void operator delete(void* block) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete[](void* block) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete(void* block, std::size_t) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete[](void* block, std::size_t) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete(void* block,
                                                            const std::nothrow_t&) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete[](void* block,
                                                              const std::nothrow_t&) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete(void* block, std::align_val_t) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete[](void* block,
                                                              std::align_val_t) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete(void* block, std::size_t,
                                                            std::align_val_t) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete[](void* block, std::size_t,
                                                              std::align_val_t) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete(void* block, std::align_val_t,
                                                            const std::nothrow_t&) noexcept {
  delete_block(block);
}
__attribute__((visibility("default"))) void operator delete[](void* block, std::align_val_t,
                                                              const std::nothrow_t&) noexcept {
  delete_block(block);
}
