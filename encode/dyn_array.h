// Growable arrays with 1-based positions: TStrDynArray of texts (each cut to
// 255 characters when stored) and TWordDynArray of unsigned 16-bit numbers.
// They carry the template lines, the encoded lines and the cut sections. An
// array holds at most 65535 elements (its count is 16-bit); an insertion past
// that is refused, never wrapped. Taking elements from either end costs
// constant time, so consuming a whole array from the front stays linear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "encode/short_string.h"

namespace vellumar {

namespace dyn_array_detail {
inline void FitItem(std::string& Item) {
  CutShortString(Item);
}
inline void FitItem(std::uint16_t& /*Item*/) {}
}  // namespace dyn_array_detail

template <typename T>
class TDynArray {
 public:
  static constexpr std::size_t MaxItems = 65535;

  // Number of elements.
  [[nodiscard]] std::uint16_t Count() const { return static_cast<std::uint16_t>(Items_.size()); }

  // Appends Item as the new last element. False (array unchanged) when full.
  [[nodiscard]] bool Insert(T Item) {
    if (Items_.size() >= MaxItems) return false;
    dyn_array_detail::FitItem(Item);
    Items_.push_back(std::move(Item));
    return true;
  }

  // Inserts Item so that it becomes element AIndex (1..Count+1). False (array
  // unchanged) when full or when AIndex is outside that range.
  [[nodiscard]] bool InsertAt(std::uint16_t AIndex, T Item) {
    if (Items_.size() >= MaxItems || AIndex < 1 || AIndex > Items_.size() + 1) return false;
    dyn_array_detail::FitItem(Item);
    Items_.insert(Items_.begin() + (AIndex - 1), std::move(Item));
    return true;
  }

  // Removes element Num (1..Count); the later ones move down. A position
  // outside that range removes nothing.
  void Delete(std::uint16_t Num) {
    if (Num < 1 || Num > Items_.size()) return;
    Items_.erase(Items_.begin() + (Num - 1));
  }

  // A copy of element AIndex (1..Count); an empty text or 0 outside that range.
  [[nodiscard]] T At(std::uint16_t AIndex) const {
    if (AIndex < 1 || AIndex > Items_.size()) return T{};
    return Items_[AIndex - 1u];
  }

  // Takes element 1 out of the array (moved, not copied) and deletes it; an
  // empty text or 0 when the array is empty.
  [[nodiscard]] T PopFirst() {
    if (Items_.empty()) return T{};
    T First = std::move(Items_.front());
    Items_.pop_front();
    return First;
  }

  // Removes every element.
  void Clear() { Items_.clear(); }

 private:
  std::deque<T> Items_;
};

using TStrDynArray = TDynArray<std::string>;
using TWordDynArray = TDynArray<std::uint16_t>;

extern template class TDynArray<std::string>;
extern template class TDynArray<std::uint16_t>;

}  // namespace vellumar
