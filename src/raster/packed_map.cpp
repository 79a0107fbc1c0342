#include "raster/packed_map.h"

#include <algorithm>
#include <array>

namespace {

constexpr size_t CODES = 256;

// Finds the codes of values by their bit patterns: open addressing over twice as many slots as
// there can be codes, so that a lookup takes a probe or two whatever the order of the cells.
class CodeTable {
 public:
  CodeTable() { slot_.fill(EMPTY); }
  // The code of `bits`, given the next code when it is new; false when no code is left.
  bool code(uint32_t bits, std::vector<uint32_t>& palette, uint8_t& out) {
    size_t at = (bits * 2654435761u) >> (32 - SLOT_BITS);
    for (;; at = (at + 1) & (SLOTS - 1)) {
      if (slot_[at] == EMPTY) break;
      if (palette[slot_[at]] == bits) {
        out = static_cast<uint8_t>(slot_[at]);
        return true;
      }
    }
    if (palette.size() == CODES) return false;
    slot_[at] = static_cast<uint16_t>(palette.size());
    out = static_cast<uint8_t>(palette.size());
    palette.push_back(bits);
    return true;
  }

 private:
  static constexpr uint32_t SLOT_BITS = 9;
  static constexpr size_t SLOTS = size_t{1} << SLOT_BITS;
  static constexpr uint16_t EMPTY = 0xffff;
  std::array<uint16_t, SLOTS> slot_;
};

}  // namespace

void PackedMap::assign(const float* first, const float* last) {
  size_ = static_cast<size_t>(last - first);
  palette_.clear();
  floats_.clear();
  floats_.shrink_to_fit();
  codes_.resize(size_);
  codes_.shrink_to_fit();
  CodeTable table;
  uint32_t previous = 0;
  uint8_t previous_code = 0;
  for (size_t i = 0; i < size_; ++i) {
    uint32_t bits;
    std::memcpy(&bits, first + i, sizeof bits);
    // Neighbouring cells mostly share their value.
    if (i > 0 && bits == previous) {
      codes_[i] = previous_code;
      continue;
    }
    if (!table.code(bits, palette_, codes_[i])) {
      codes_.clear();
      codes_.shrink_to_fit();
      palette_.clear();
      floats_.assign(first, last);
      return;
    }
    previous = bits;
    previous_code = codes_[i];
  }
}

void PackedMap::unpack(float* out) const {
  if (!floats_.empty()) {
    std::copy(floats_.begin(), floats_.end(), out);
    return;
  }
  if (size_ == 0) return;
  std::array<float, CODES> values{};
  std::memcpy(values.data(), palette_.data(), palette_.size() * sizeof(float));
  for (size_t i = 0; i < size_; ++i) out[i] = values[codes_[i]];
}

std::vector<float> PackedMap::unpack() const {
  std::vector<float> cells(size_);
  unpack(cells.data());
  return cells;
}
