// Formats of the waveform archives, chosen by the properties "archive1format"
// and "archive2format".
#ifndef VH_UTIL_ARCHIVEFORMAT_H_
#define VH_UTIL_ARCHIVEFORMAT_H_

#include <string>

// The numbers are those the archive code stores and compares.
enum class ArchiveFormat { MINISEED = 0, XML = 1 };

// Lower-cases text in place, then returns MINISEED when it contains
// "miniseed" or "ms", else XML when it contains "xml", else MINISEED.
ArchiveFormat parseFormat(std::string& text);

#endif  // VH_UTIL_ARCHIVEFORMAT_H_
