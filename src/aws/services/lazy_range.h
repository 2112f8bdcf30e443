#pragma once
// An input range over items a cursor produces one at a time: the shape of a
// listing that fetches its next page only when the consumer steps past the
// last item of the current one, and holds no more than that page.

#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>

namespace aws {

/// Produces the items of a LazyRange, in order.
template <typename T>
class Cursor {
 public:
  virtual ~Cursor() = default;
  /// Positions on the first item. Called by every begin(): calls after the
  /// first do nothing.
  virtual void start() = 0;
  /// True once past the last item.
  virtual bool ended() const = 0;
  /// The item positioned on; valid until the next advance().
  virtual const T& current() const = 0;
  /// Moves to the next item, or past the last.
  virtual void advance() = 0;
};

/// A cursor's items as a single-pass input range. Its iterators point into
/// the range: they must not outlive it.
template <typename T>
class LazyRange {
 public:
  explicit LazyRange(std::unique_ptr<Cursor<T>> cursor) : cursor_(std::move(cursor)) {}

  class iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using iterator_category = std::input_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using reference = const T&;
    using pointer = const T*;

    iterator() = default;
    reference operator*() const { return cursor_->current(); }
    pointer operator->() const { return &cursor_->current(); }
    /// May fetch the next page; throws what the cursor throws.
    iterator& operator++() {
      cursor_->advance();
      return *this;
    }
    void operator++(int) { ++*this; }
    friend bool operator==(const iterator& it, std::default_sentinel_t) {
      return it.cursor_ == nullptr || it.cursor_->ended();
    }

   private:
    friend class LazyRange;
    explicit iterator(Cursor<T>* cursor) : cursor_(cursor) {}
    Cursor<T>* cursor_ = nullptr;
  };

  /// Starts the cursor (the first fetch, on the first call); throws what the
  /// cursor throws.
  iterator begin() {
    if (cursor_) cursor_->start();
    return iterator(cursor_.get());
  }
  std::default_sentinel_t end() const { return {}; }

 private:
  std::unique_ptr<Cursor<T>> cursor_;
};

}  // namespace aws
