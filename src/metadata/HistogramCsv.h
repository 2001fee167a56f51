// The check of a daily histogram file fetched from an instrument before it
// enters the histogram archive.
//
// The file is CSV text: comment lines starting with "#", one header line of
// quoted column names, then data lines of as many fields, the first a time
// "YYYY-MM-DD HH:MM:SS" and the rest numbers. Lines end with "\n" (a "\r"
// before it is allowed); blank lines are skipped. Everything else (other
// bytes than printable ASCII and tab, over-long lines or files, too many
// columns, fields that do not match) makes the file refused, with the reason
// and its line number. The check holds no copy of the file: its memory is
// bounded by one field.
//
// Free function, no state: callable from any thread.
#ifndef VH_METADATA_HISTOGRAMCSV_H_
#define VH_METADATA_HISTOGRAMCSV_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

constexpr size_t HISTOGRAM_FILE_MAX = 1u << 20;  // bytes of one instrument file
constexpr size_t HISTOGRAM_LINE_MAX = 1024;      // characters of one line
constexpr size_t HISTOGRAM_COLUMNS_MAX = 64;     // columns of the header

struct HistogramCsv {
  bool ok = false;
  std::string error;   // why the file was refused; empty when ok
  size_t line = 0;     // the line (from 1) the error was found in
  size_t columns = 0;  // of the header
  size_t rows = 0;     // data lines
  time_t first = 0;    // time of the first data line
  time_t last = 0;     // time of the last data line
};

// Checks length bytes of data as a histogram file. A file with a header and
// no data line is accepted (a day that has just begun).
HistogramCsv checkHistogramCsv(const uint8_t* data, size_t length);

#endif  // VH_METADATA_HISTOGRAMCSV_H_
