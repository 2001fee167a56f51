#include "util/Text.h"

#include <cstdio>
#include <vector>

std::string bounded(const std::string& text, size_t maxChars) {
  return text.size() <= maxChars ? text : text.substr(0, maxChars);
}

std::string vsformat(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::vector<char> big(static_cast<size_t>(n) + 1);
  vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), n);
}

std::string sformat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = vsformat(format, args);
  va_end(args);
  return s;
}

std::string sformatBounded(size_t maxChars, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = vsformat(format, args);
  va_end(args);
  return bounded(s, maxChars);
}

std::string escapeXml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += isPrintableAscii(c) ? c : '?';
    }
  }
  return out;
}

bool splitTextLines(const std::string& text, std::vector<std::string>* lines) {
  lines->clear();
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (char c : line) {
      if (!isPrintableAscii(c) && c != '\t') {
        lines->clear();
        return false;
      }
    }
    lines->push_back(std::move(line));
  }
  return true;
}
