#include "encode/dyn_array.h"

namespace vellumar {

// The two element types the program uses are compiled once, here.
template class TDynArray<std::string>;
template class TDynArray<std::uint16_t>;

}  // namespace vellumar
