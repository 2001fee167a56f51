// Arbitrary bytes as a histogram file fetched from an instrument
// (checkHistogramCsv). Checks that the verdict agrees with the bytes: an
// accepted file holds only text bytes, a header within the column bound and
// no more data lines than lines; a refused one says why.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "metadata/HistogramCsv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const HistogramCsv result = checkHistogramCsv(data, size);
  if (!result.ok) {
    if (result.error.empty()) abort();
    return 0;
  }
  if (!result.error.empty() || size == 0 || size > HISTOGRAM_FILE_MAX) abort();
  if (result.columns == 0 || result.columns > HISTOGRAM_COLUMNS_MAX) abort();
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t c = data[i];
    if (c == '\n') {
      ++lines;
    } else if ((c < 0x20 || c > 0x7e) && c != '\t' && c != '\r') {
      abort();
    }
  }
  if (result.rows >= lines) abort();
  if (result.rows == 0 && (result.first != 0 || result.last != 0)) abort();
  return 0;
}
