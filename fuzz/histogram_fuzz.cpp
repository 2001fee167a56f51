// Arbitrary bytes as an instrument's histogram file. Checks that a parsed
// table keeps its limits: a header of at most HISTOGRAM_COLUMNS_MAX columns
// beginning with "datetime", one finite value per further column in every
// row, and no more rows and set-aside lines than the text has lines.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "metadata/Histogram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HistogramTable table;
  std::string error;
  const bool ok = parseHistogramFile(reinterpret_cast<const char*>(data), size, &table, &error);
  if (ok == !error.empty()) abort();
  if (!ok) return 0;
  if (table.columns.size() < 2 || table.columns.size() > HISTOGRAM_COLUMNS_MAX ||
      table.columns[0] != "datetime") {
    abort();
  }
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  if (table.rows.size() + table.rejected >= lines) abort();  // the header is one of them
  if ((table.rejected == 0) != (table.firstRejected == 0) || table.firstRejected > lines) abort();
  for (const HistogramRow& row : table.rows) {
    if (row.values.size() + 1 != table.columns.size()) abort();
    for (double v : row.values)
      if (!std::isfinite(v)) abort();
  }
  return 0;
}
