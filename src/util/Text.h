// Bounded text helpers. Texts that other programs see (paths, log lines,
// protocol fields) keep fixed character limits; these helpers apply a limit
// at the one place a text is formed, so callers never write a bare number.
// Also the printable ASCII range and the one XML escaper.
#ifndef VH_UTIL_TEXT_H_
#define VH_UTIL_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

// Printable ASCII: the bytes texts shown to people and other programs keep.
constexpr int ASCII_PRINTABLE_FIRST = 0x20;  // blank
constexpr int ASCII_PRINTABLE_LAST = 0x7E;   // "~"
// True for a byte of ASCII_PRINTABLE_FIRST..ASCII_PRINTABLE_LAST (an int
// holds a char, an unsigned char or EOF).
inline bool isPrintableAscii(int c) {
  return c >= ASCII_PRINTABLE_FIRST && c <= ASCII_PRINTABLE_LAST;
}

// The first maxChars characters of text (all of it when shorter).
std::string bounded(const std::string& text, size_t maxChars);

// printf-style formatting into a std::string of any length.
std::string sformat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vsformat(const char* format, va_list args);

// printf-style formatting cut to at most maxChars characters, as a fixed
// buffer of maxChars + 1 bytes would hold it.
std::string sformatBounded(size_t maxChars, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Text for XML element text and attribute values: "&", "<", ">", '"' and "'"
// become entities, bytes outside printable ASCII become "?"; everything else
// stays as it is.
std::string escapeXml(const std::string& text);

// The lines of a text file from another program: split at "\n", a "\r"
// before it dropped, empty lines kept. False (lines cleared) when a line
// holds a byte outside printable ASCII other than a tab: a binary file.
bool splitTextLines(const std::string& text, std::vector<std::string>* lines);

#endif  // VH_UTIL_TEXT_H_
