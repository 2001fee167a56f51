// Feeds arbitrary texts to the time text parser (under the hub's own formats
// and under a format taken from the input) and to the JSON-style line parser.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "util/JsonLine.h"
#include "util/StrToTm.h"
#include "util/TimeUtil.h"

namespace {
const char* const FORMATS[] = {"%Y-%m-%d %H%M %S", "%a, %d %b %Y %T", "%D %R", "%C%y %j %e%n%%",
                               "%A %B %k %Z %c"};

void parseUnder(const std::string& text, const char* format) {
  struct tm t;
  memset(&t, 0, sizeof t);
  const char* end = strToTm(text.c_str(), format, &t);
  // The result lies inside the text or is null.
  if (end != nullptr && (end < text.c_str() || end > text.c_str() + text.size())) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string text = input.c_str();  // the parser reads NUL-terminated text
  for (const char* format : FORMATS) parseUnder(text, format);
  strToTime_t(text.c_str());

  // First line: the format; the rest: the text.
  size_t nl = input.find('\n');
  if (nl != std::string::npos) {
    std::string format = input.substr(0, nl).c_str();
    parseUnder(input.substr(nl + 1).c_str(), format.c_str());
  }

  std::string key, value;
  if (parseJsonLine(input, key, value)) {
    if (key.empty() || key.size() > JSON_KEY_MAX || value.size() > JSON_LINE_MAX) __builtin_trap();
  }
  return 0;
}
