#include "core/data.hpp"

#include <cmath>
#include <utility>

namespace zelk {

uint32_t category_code(double value) {
  // `!(value >= 0.0)` also catches NaN; -0.0 compares equal to zero and is kept.
  if (!std::isfinite(value) || !(value >= 0.0)) return kMissingCode;
  const double rounded = std::round(value);  // halves away from zero
  if (rounded >= static_cast<double>(kMissingCode)) return kMissingCode;
  return static_cast<uint32_t>(rounded);
}

Column Column::continuous(std::vector<double> values) {
  Column column;
  column.categorical_ = false;
  column.values_ = std::move(values);
  return column;
}

Column Column::categorical(std::vector<uint32_t> codes) {
  Column column;
  column.categorical_ = true;
  column.codes_ = std::move(codes);
  return column;
}

bool contains_sorted(std::span<const size_t> sorted, size_t index) {
  size_t lo = 0, hi = sorted.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (sorted[mid] < index) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < sorted.size() && sorted[lo] == index;
}

std::vector<Column> build_columns(const MatrixView& x, std::span<const size_t> categorical) {
  std::vector<Column> columns;
  columns.reserve(x.cols);
  for (size_t j = 0; j < x.cols; ++j) {
    if (contains_sorted(categorical, j)) {
      std::vector<uint32_t> codes(x.rows);
      for (size_t i = 0; i < x.rows; ++i)
        codes[i] = category_code(x.at(i, j));
      columns.push_back(Column::categorical(std::move(codes)));
    } else {
      std::vector<double> values(x.rows);
      for (size_t i = 0; i < x.rows; ++i)
        values[i] = x.at(i, j);
      columns.push_back(Column::continuous(std::move(values)));
    }
  }
  return columns;
}

}  // namespace zelk
