// Feature columns of a training set, built once from the caller's matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

// Marks a missing category in a categorical column (and a non-finite value in strict-mode
// bin codes). It never names a candidate and always routes right.
inline constexpr uint32_t kMissingCode = 0xFFFFFFFFu;

// Category code of one value of a categorical feature: finite non-negative values round to
// the nearest integer (halves away from zero), capped at kMissingCode; anything else is
// missing.
uint32_t category_code(double value);

// Read-only strided view of a 2-D float64 matrix (rows x cols); strides are in bytes, so any
// memory layout of the caller's array is read in place.
struct MatrixView {
  const char* data = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 0;

  double at(size_t row, size_t col) const {
    const char* p =
        data + static_cast<ptrdiff_t>(row) * row_stride + static_cast<ptrdiff_t>(col) * col_stride;
    double v;
    __builtin_memcpy(&v, p, sizeof v);  // the caller's array may be unaligned
    return v;
  }
};

// Read-only strided view of a 1-D array of 8-byte elements (float64 or int64).
struct VectorView {
  const char* data = nullptr;
  size_t size = 0;
  ptrdiff_t stride = 0;

  template <class T>
  T at(size_t i) const {
    static_assert(sizeof(T) == 8);
    T v;
    __builtin_memcpy(&v, data + static_cast<ptrdiff_t>(i) * stride, sizeof v);
    return v;
  }
};

// One feature's training values: raw floats (continuous) or category codes (categorical).
class Column {
 public:
  static Column continuous(std::vector<double> values);
  static Column categorical(std::vector<uint32_t> codes);

  bool is_categorical() const { return categorical_; }
  size_t size() const { return categorical_ ? codes_.size() : values_.size(); }
  // Valid only for a continuous column.
  const std::vector<double>& values() const { return values_; }
  // Valid only for a categorical column.
  const std::vector<uint32_t>& codes() const { return codes_; }

 private:
  bool categorical_ = false;
  std::vector<double> values_;
  std::vector<uint32_t> codes_;
};

// One column per column of `x`, in column order; column j is categorical exactly when j is
// in `categorical` (ascending, without duplicates).
std::vector<Column> build_columns(const MatrixView& x, std::span<const size_t> categorical);

// Whether `index` is in the ascending list `sorted` (bisection).
bool contains_sorted(std::span<const size_t> sorted, size_t index);

}  // namespace zelk
