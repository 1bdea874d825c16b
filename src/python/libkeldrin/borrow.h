#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

#include "python/errors.h"

namespace keldrin::python {

/// The borrow counter every instance carries: 0 free, n > 0 shared borrows, all ones one
/// exclusive borrow. They stop Python code run by a conversion (an __index__, a sequence's
/// __iter__) from changing an object that the module is in the middle of reading, and on a
/// free-threaded build they also stop another thread from doing so.
///
/// With the interpreter lock they are plain words, as the lock orders every access. Without it
/// (Py_GIL_DISABLED) every borrow is taken by one compare-and-swap and released by one atomic
/// store or subtraction: no thread can hold the exclusive borrow while another holds any borrow,
/// and what a setter wrote under its exclusive borrow is visible to the next borrower.
using BorrowFlag = std::size_t;
inline constexpr BorrowFlag kExclusive = std::numeric_limits<BorrowFlag>::max();

/// Held while an operation reads an object; released on scope exit, success or failure.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<BorrowFlag> counter(flag_);
    BorrowFlag seen = counter.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusive) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!counter.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed));
#else
    if (flag_ == kExclusive) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_;
#endif
  }
  ~SharedBorrow() {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<BorrowFlag>(flag_).fetch_sub(1, std::memory_order_release);
#else
    --flag_;
#endif
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

/// Held while a setter replaces a field.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
#ifdef Py_GIL_DISABLED
    BorrowFlag free = 0;
    if (!std::atomic_ref<BorrowFlag>(flag_).compare_exchange_strong(
            free, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) {
      throw_error(PyExc_RuntimeError, "Already borrowed");
    }
#else
    if (flag_ != 0) throw_error(PyExc_RuntimeError, "Already borrowed");
    flag_ = kExclusive;
#endif
  }
  ~ExclusiveBorrow() {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<BorrowFlag>(flag_).store(0, std::memory_order_release);
#else
    flag_ = 0;
#endif
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace keldrin::python
