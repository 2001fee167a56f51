// Time text parser in the manner of strptime, with one difference: %H and %k
// take exactly two characters, so "%H%M" parses four adjacent digits of the
// hub's compact time stamps ("2023-04-06 1345 02").
#ifndef VH_UTIL_STRTOTM_H_
#define VH_UTIL_STRTOTM_H_

#include <ctime>

// Fills the fields of tm named by format. Returns the position in text after
// the last character used, or null when the text does not match. Fields not
// named by the format are left as they were.
const char* strToTm(const char* text, const char* format, struct tm* tm);

// Compares the text at *position, ignoring case, with each of count names
// over the length of that name; on the first match advances *position past
// it and returns its index; -1 when none matches.
int match_string(const char** position, const char* const* names, int count);

#endif  // VH_UTIL_STRTOTM_H_
