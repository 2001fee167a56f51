// Bounded text helpers. Texts that other programs see (paths, log lines,
// protocol fields) keep fixed character limits; these helpers apply a limit
// at the one place a text is formed, so callers never write a bare number.
#ifndef VH_UTIL_TEXT_H_
#define VH_UTIL_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <string>

// The first maxChars characters of text (all of it when shorter).
std::string bounded(const std::string& text, size_t maxChars);

// printf-style formatting into a std::string of any length.
std::string sformat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vsformat(const char* format, va_list args);

// printf-style formatting cut to at most maxChars characters, as a fixed
// buffer of maxChars + 1 bytes would hold it.
std::string sformatBounded(size_t maxChars, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // VH_UTIL_TEXT_H_
