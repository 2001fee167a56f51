#include "util/ArchiveFormat.h"

#include <cctype>

ArchiveFormat parseFormat(std::string& text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (text.find("miniseed") != std::string::npos || text.find("ms") != std::string::npos)
    return ArchiveFormat::MINISEED;
  if (text.find("xml") != std::string::npos) return ArchiveFormat::XML;
  return ArchiveFormat::MINISEED;
}
