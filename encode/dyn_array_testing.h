// Test helper: the elements of an array as a vector, so tests can compare a
// whole line list at once and print it on a mismatch.
#pragma once

#include <cstdint>
#include <vector>

#include "encode/dyn_array.h"

namespace vellumar {

template <typename T>
std::vector<T> ElementsOf(const TDynArray<T>& Array) {
  std::vector<T> Result;
  for (std::uint32_t I = 1; I <= Array.Count(); ++I)
    Result.push_back(Array.At(static_cast<std::uint16_t>(I)));
  return Result;
}

}  // namespace vellumar
