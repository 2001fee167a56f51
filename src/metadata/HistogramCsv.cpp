#include "metadata/HistogramCsv.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "util/StrToTm.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char TIME_FORMAT[] = "%Y-%m-%d %H:%M:%S";
constexpr char COMMENT = '#';
constexpr char QUOTE = '"';

struct Checker {
  HistogramCsv result;
  bool headerSeen = false;

  bool fail(const std::string& why, size_t line) {
    result.ok = false;
    result.error = why;
    result.line = line;
    return false;
  }

  // The fields of line between commas, each handed to take (field, index).
  template <typename Take>
  static bool forEachField(const std::string& line, Take take) {
    size_t index = 0, at = 0;
    for (;;) {
      const size_t comma = line.find(',', at);
      const size_t end = comma == std::string::npos ? line.size() : comma;
      if (!take(line.substr(at, end - at), index++)) return false;
      if (comma == std::string::npos) return true;
      at = comma + 1;
    }
  }

  bool header(const std::string& line, size_t number) {
    size_t count = 0;
    const bool good = forEachField(line, [&count](const std::string& f, size_t) {
      ++count;
      return count <= HISTOGRAM_COLUMNS_MAX && f.size() >= 2 && f.front() == QUOTE &&
             f.back() == QUOTE && f.find(QUOTE, 1) == f.size() - 1;
    });
    if (!good) return fail("bad header", number);
    result.columns = count;
    headerSeen = true;
    return true;
  }

  bool dataLine(const std::string& line, size_t number) {
    size_t count = 0;
    time_t when = 0;
    const bool good = forEachField(line, [&](const std::string& f, size_t index) {
      if (++count > result.columns) return false;
      if (index == 0) {
        struct tm broken = {};
        const char* end = strToTm(f.c_str(), TIME_FORMAT, &broken);
        if (end == nullptr || *end != '\0') return false;
        when = tmToTime_t(broken);
        return true;
      }
      if (f.empty()) return false;
      char* end = nullptr;
      const double value = strtod(f.c_str(), &end);
      return *end == '\0' && std::isfinite(value);
    });
    if (!good || count != result.columns) return fail("bad data line", number);
    if (result.rows == 0) result.first = when;
    result.last = when;
    ++result.rows;
    return true;
  }

  bool line(std::string text, size_t number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty() || text.front() == COMMENT) return true;
    return headerSeen ? dataLine(text, number) : header(text, number);
  }
};

}  // namespace

HistogramCsv checkHistogramCsv(const uint8_t* data, size_t length) {
  Checker c;
  if (data == nullptr || length == 0) {
    c.fail("empty", 0);
    return c.result;
  }
  if (length > HISTOGRAM_FILE_MAX) {
    c.fail("larger than " + std::to_string(HISTOGRAM_FILE_MAX) + " bytes", 0);
    return c.result;
  }
  std::string text;
  size_t number = 1;
  for (size_t i = 0; i < length; ++i) {
    const char ch = static_cast<char>(data[i]);
    if (ch == '\n') {
      if (!c.line(text, number)) return c.result;
      text.clear();
      ++number;
      continue;
    }
    if (!isPrintableAscii(data[i]) && ch != '\t' && ch != '\r') {
      c.fail("byte " + std::to_string(data[i]) + " in the text", number);
      return c.result;
    }
    if (text.size() >= HISTOGRAM_LINE_MAX) {
      c.fail("line longer than " + std::to_string(HISTOGRAM_LINE_MAX), number);
      return c.result;
    }
    text += ch;
  }
  if (!text.empty() && !c.line(text, number)) return c.result;
  if (!c.headerSeen) {
    c.fail("no header", number);
    return c.result;
  }
  c.result.ok = true;
  return c.result;
}
