// The line syntax of the hub's JSON-style key files: one entry per line, a
// key, an equals sign and a value, with double quotes optional on reading:
//   "station"="ABCD"   and   station=ABCD   give the same entry.
// Used by the key file class and the simulator's settings.
#ifndef VH_UTIL_JSONLINE_H_
#define VH_UTIL_JSONLINE_H_

#include <cstddef>
#include <string>

constexpr size_t JSON_LINE_MAX = 119;  // longer lines are rejected whole
constexpr size_t JSON_KEY_MAX = 32;    // characters of a key

// Splits one line into key and value. Accepted only when the line has at
// most JSON_LINE_MAX characters and does not begin with "#"; every double
// quote, CR and LF is removed first; the key is everything before the first
// "=" (1 to JSON_KEY_MAX characters), the value everything after it (may be
// empty); both consist of printable ASCII (0x20..0x7E) only. Blanks are kept.
// Returns false (key and value unusable) when the line breaks a rule.
bool parseJsonLine(const std::string& line, std::string& key, std::string& value);

#endif  // VH_UTIL_JSONLINE_H_
