// Depth-first walk over an object and its parents, used by command resolution and by the
// inherited dictionary search. Parent lists may form cycles (only an object listing itself is
// refused), so every object is visited once.
#ifndef TELVI_INTERP_ANCESTORS_H
#define TELVI_INTERP_ANCESTORS_H

#include <algorithm>
#include <vector>

#include "telvi/toe.h"

namespace telvi::interp {

namespace detail {

// A stack that lives in the caller's frame for the common small case.
template <typename T, size_t N>
class SmallStack {
 public:
  void push(T value) {
    if (size_ < N) inline_[size_] = value;
    else overflow_.push_back(value);
    ++size_;
  }
  T pop() {
    --size_;
    if (size_ < N) return inline_[size_];
    T value = overflow_.back();
    overflow_.pop_back();
    return value;
  }
  bool empty() const { return size_ == 0; }
  bool contains(T value) const {
    size_t inlineCount = std::min(size_, N);
    for (size_t i = 0; i < inlineCount; ++i)
      if (inline_[i] == value) return true;
    return std::find(overflow_.begin(), overflow_.end(), value) != overflow_.end();
  }

 private:
  T inline_[N];
  std::vector<T> overflow_;
  size_t size_ = 0;
};

}  // namespace detail

template <typename Visit>
bool forEachAncestor(toe *object, Visit &&visit) {
  if (object == nullptr) return false;
  // Objects without parents are the common case: no bookkeeping at all.
  if (object->parents == nullptr || object->parents[0] == nullptr) return visit(object);
  detail::SmallStack<toe *, 32> pending;
  detail::SmallStack<toe *, 32> seen;
  pending.push(object);
  while (!pending.empty()) {
    toe *current = pending.pop();
    if (seen.contains(current)) continue;
    seen.push(current);
    if (visit(current)) return true;
    if (current->parents == nullptr) continue;
    int count = 0;
    while (current->parents[count] != nullptr) ++count;
    for (int i = count - 1; i >= 0; --i) pending.push(current->parents[i]);
  }
  return false;
}

}  // namespace telvi::interp

#endif
