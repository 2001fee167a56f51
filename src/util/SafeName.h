// Codes that come from an instrument (network, station, location, channel)
// end up as parts of file paths. safePathCode is the one place where such a
// code is made harmless before any path is built from it.
#ifndef VH_UTIL_SAFENAME_H_
#define VH_UTIL_SAFENAME_H_

#include <string>

// The character that replaces path separators and a leading point.
constexpr char SAFE_NAME_FILL = '_';

// code with every "/" and "\\" and a leading "." replaced by SAFE_NAME_FILL,
// so the result is a single path element that is neither hidden nor "." or
// "..". Ordinary codes ("ABCD", "AU", "00", "HHZ") come back unchanged.
std::string safePathCode(const std::string& code);

#endif  // VH_UTIL_SAFENAME_H_
