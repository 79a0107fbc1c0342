// A map of float cells kept compactly: one byte per cell while the map has at most 256 distinct
// values, as a solution map does (no data, free, allocated and a few initial values), else four.
// The runs of a scenario keep the maps their stages hand each other and their final maps in this
// form, so that the maps a run keeps cost a quarter of what the floats would. Values come back
// bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

class PackedMap {
 public:
  PackedMap() = default;
  PackedMap(const std::vector<float>& cells) { assign(cells.data(), cells.data() + cells.size()); }
  PackedMap(std::initializer_list<float> cells) { assign(cells.begin(), cells.end()); }
  PackedMap(const PackedMap&) = default;
  PackedMap& operator=(const PackedMap&) = default;
  // A map moved from is empty, its size too: moved member by member it would keep its size with
  // no cells behind it.
  PackedMap(PackedMap&& other) noexcept { *this = std::move(other); }
  PackedMap& operator=(PackedMap&& other) noexcept {
    size_ = std::exchange(other.size_, 0);
    palette_ = std::move(other.palette_);
    codes_ = std::move(other.codes_);
    floats_ = std::move(other.floats_);
    other.palette_.clear();
    other.codes_.clear();
    other.floats_.clear();
    return *this;
  }

  /// Holds the cells [first, last) in place of what it held.
  void assign(const float* first, const float* last);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  /// Cell i.
  float operator[](size_t i) const {
    if (!floats_.empty()) return floats_[i];
    float value;
    std::memcpy(&value, &palette_[codes_[i]], sizeof value);
    return value;
  }

  /// Writes the size() cells to `out`.
  void unpack(float* out) const;
  std::vector<float> unpack() const;

  /// Cell by cell, as floats compare, without unpacking either: two whole float maps would be
  /// held beside the packed ones.
  friend bool operator==(const PackedMap& a, const PackedMap& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!(a[i] == b[i])) return false;
    }
    return true;
  }

 private:
  size_t size_ = 0;
  std::vector<uint32_t> palette_;  ///< the distinct values, as bit patterns, by code
  std::vector<uint8_t> codes_;     ///< per cell, the code of its value
  std::vector<float> floats_;      ///< the cells themselves when there are too many values
};
