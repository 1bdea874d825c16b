#pragma once

#include <cstddef>
#include <limits>

#include "python/errors.h"

namespace keldrin::python {

/// The borrow counter every instance carries: 0 free, n > 0 shared borrows, all ones one
/// exclusive borrow. Plain words: the interpreter lock orders every access. They stop Python code
/// run by a conversion (an __index__, a sequence's __iter__) from changing an object that the
/// module is in the middle of reading.
using BorrowFlag = std::size_t;
inline constexpr BorrowFlag kExclusive = std::numeric_limits<BorrowFlag>::max();

/// Held while an operation reads an object; released on scope exit, success or failure.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_ == kExclusive) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_;
  }
  ~SharedBorrow() { --flag_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

/// Held while a setter replaces a field.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_ != 0) throw_error(PyExc_RuntimeError, "Already borrowed");
    flag_ = kExclusive;
  }
  ~ExclusiveBorrow() { flag_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace keldrin::python
