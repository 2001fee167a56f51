#include "util/JsonLine.h"

#include "util/Text.h"

namespace {
bool allPrintable(const std::string& text) {
  for (char c : text)
    if (!isPrintableAscii(c)) return false;
  return true;
}
}  // namespace

bool parseJsonLine(const std::string& line, std::string& key, std::string& value) {
  if (line.size() > JSON_LINE_MAX) return false;
  if (!line.empty() && line[0] == '#') return false;
  std::string text;
  text.reserve(line.size());
  for (char c : line)
    if (c != '"' && c != '\r' && c != '\n') text += c;
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq > JSON_KEY_MAX) return false;
  key = text.substr(0, eq);
  value = text.substr(eq + 1);
  return allPrintable(key) && allPrintable(value);
}
