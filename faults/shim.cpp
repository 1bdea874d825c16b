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
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include <execinfo.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

#define KELDRIN_VISIBLE __attribute__((visibility("default")))
#define KELDRIN_EXPORT extern "C" KELDRIN_VISIBLE

namespace {

bool armed = false;
bool persistent = false;
long long target = -1;  // below 0: count without failing
long long counted = 0;
long long live_new = 0;

void print_stack() {
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
}

// Whether the allocation being made fails. With KELDRIN_FAULT_BACKTRACE set, the stack of every
// failed allocation goes to stderr: the way to find which call a failing point comes from.
bool should_fail() {
  if (!armed) return false;
  const long long index = counted++;
  if (target < 0 || index < target || (index > target && !persistent)) return false;
  if (std::getenv("KELDRIN_FAULT_BACKTRACE") != nullptr) {
    armed = false;  // what printing allocates is neither counted nor failed
    print_stack();
    (void)!write(STDERR_FILENO, "--\n", 3);
    armed = true;
  }
  return true;
}

void* failed() {
  errno = ENOMEM;
  return nullptr;
}

void* new_block(std::size_t size, std::align_val_t alignment = {}) {
  if (should_fail()) return nullptr;
  if (size == 0) size = 1;
  const auto align = static_cast<std::size_t>(alignment);
  void* block = align > alignof(std::max_align_t) ? __libc_memalign(align, size)
                                                  : __libc_malloc(size);
  if (block != nullptr) ++live_new;
  return block;
}

void* new_or_throw(std::size_t size, std::align_val_t alignment = {}) {
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
  print_stack();
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
  armed = true;
}

/// Stops failing and counting; returns the number of allocations counted while armed.
KELDRIN_EXPORT long long keldrin_fault_disarm() {
  armed = false;
  return counted;
}

/// Prints the calling stack to stderr: for finding where a sweep point's output comes from.
KELDRIN_EXPORT void keldrin_fault_backtrace() { print_stack(); }

/// Blocks from operator new not yet given back to operator delete.
KELDRIN_EXPORT long long keldrin_fault_live_new() { return live_new; }

// ---- The C allocator ---------------------------------------------------------------------------

KELDRIN_EXPORT void* malloc(std::size_t size) {
  return should_fail() ? failed() : __libc_malloc(size);
}

KELDRIN_EXPORT void* calloc(std::size_t count, std::size_t size) {
  return should_fail() ? failed() : __libc_calloc(count, size);
}

KELDRIN_EXPORT void* realloc(void* block, std::size_t size) {
  // realloc(p, 0) frees, and freeing never fails.
  return (size != 0 && should_fail()) ? failed() : __libc_realloc(block, size);
}

KELDRIN_EXPORT void* memalign(std::size_t alignment, std::size_t size) {
  return should_fail() ? failed() : __libc_memalign(alignment, size);
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

// ---- operator new and delete, every form, for objects (new, delete) and arrays (new[], delete[])

using std::align_val_t, std::nothrow_t, std::size_t;

#define KELDRIN_NEW_AND_DELETE(NEW, DELETE)                                                     \
  KELDRIN_VISIBLE void* operator NEW(size_t size) { return new_or_throw(size); }                \
  KELDRIN_VISIBLE void* operator NEW(size_t size, const nothrow_t&) noexcept {                  \
    return new_block(size);                                                                     \
  }                                                                                             \
  KELDRIN_VISIBLE void* operator NEW(size_t size, align_val_t align) {                          \
    return new_or_throw(size, align);                                                           \
  }                                                                                             \
  KELDRIN_VISIBLE void* operator NEW(size_t size, align_val_t align, const nothrow_t&) noexcept { \
    return new_block(size, align);                                                              \
  }                                                                                             \
  KELDRIN_VISIBLE void operator DELETE(void* p) noexcept { delete_block(p); }                   \
  KELDRIN_VISIBLE void operator DELETE(void* p, size_t) noexcept { delete_block(p); }           \
  KELDRIN_VISIBLE void operator DELETE(void* p, const nothrow_t&) noexcept { delete_block(p); } \
  KELDRIN_VISIBLE void operator DELETE(void* p, align_val_t) noexcept { delete_block(p); }      \
  KELDRIN_VISIBLE void operator DELETE(void* p, size_t, align_val_t) noexcept {                 \
    delete_block(p);                                                                            \
  }                                                                                             \
  KELDRIN_VISIBLE void operator DELETE(void* p, align_val_t, const nothrow_t&) noexcept {       \
    delete_block(p);                                                                            \
  }

KELDRIN_NEW_AND_DELETE(new, delete)
KELDRIN_NEW_AND_DELETE(new[], delete[])
