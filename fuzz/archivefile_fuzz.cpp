// Feeds arbitrary templates and instrument codes to the archive path
// resolver. Checks: paths stay within their limit and printable, and a
// network or station code never adds a path separator or a hidden element.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "util/TimeUtil.h"
#include "waveform/ArchiveFile.h"

namespace {
// Input: four bytes of time, then template, network and station separated by NUL.
constexpr size_t TIME_BYTES = 4;

std::vector<std::string> splitAtNul(const std::string& text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '\0') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < TIME_BYTES) return 0;
  uint32_t seconds;
  memcpy(&seconds, data, TIME_BYTES);
  std::vector<std::string> parts =
      splitAtNul(std::string(reinterpret_cast<const char*>(data + TIME_BYTES), size - TIME_BYTES));
  parts.resize(std::max<size_t>(parts.size(), 3));
  const std::string& tmpl = parts[0];
  const std::string& network = parts[1];
  const std::string& station = parts[2];

  ArchiveFile archive(tmpl);
  archive.TEST_setDriveFinder([] { return std::string("/media/usb/"); });
  archive.TEST_setClock([] { return static_cast<time_t>(0); });
  struct tm when;
  gmtm(&when, static_cast<time_t>(seconds));
  std::string path =
      archive.getPath(network, station, seconds, when, seconds % 1000000, ".ms", true);
  if (path.size() > ARCHIVE_PATH_MAX) __builtin_trap();
  for (char c : path) {
    if (c < ' ' || c > '~') __builtin_trap();
  }
  archive.getFilename(network, station, seconds, static_cast<time_t>(seconds), 0, ".ms");
  archive.getDeletionFolder();

  // Without '.', '\\' or the home and drive codes in the template, every
  // separator and every point of the path comes from the template itself.
  const std::string& used = archive.getTemplate();
  if (used.find_first_of(".\\") == std::string::npos && used.find("%U") == std::string::npos) {
    auto slashes = [](const std::string& s) { return std::count(s.begin(), s.end(), '/'); };
    if (slashes(path) > slashes(used)) __builtin_trap();
    std::string body = path.size() >= 3 ? path.substr(0, path.size() - 3) : path;  // ".ms"
    if (body.find("/.") != std::string::npos || (!body.empty() && body[0] == '.')) __builtin_trap();
  }
  return 0;
}
