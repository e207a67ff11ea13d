// Forward iteration over a list that hands out its elements by index rather
// than keeping them in one array: the compact lists store theirs in chunks
// or as runs.
#pragma once

#include <cstddef>

namespace qmr {

template <class List>
class IndexIterator {
 public:
  IndexIterator(const List& list, std::size_t i) : list_(&list), i_(i) {}
  decltype(auto) operator*() const { return (*list_)[i_]; }
  IndexIterator& operator++() {
    ++i_;
    return *this;
  }
  bool operator==(const IndexIterator& other) const { return i_ == other.i_; }

 private:
  const List* list_;
  std::size_t i_;
};

}  // namespace qmr
