// Feeds arbitrary MINISEED payloads and station texts to the packet archive.
// Checks: the identity the archive learns (station, network, location and
// station id, which name files and folders) never holds a path separator or
// a NUL or begins with a point, and the channel slots stay 3-character names
// or empty.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/PacketArchive.h"
#include "protocol/SelvomaPacket.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

void checkCode(const std::string& code) {
  if (code.find('/') != std::string::npos || code.find('\\') != std::string::npos ||
      code.find('\0') != std::string::npos || (!code.empty() && code[0] == '.')) {
    abort();
  }
}

std::string scratchDir;

void removeScratch() { deleteFolder(scratchDir); }

// A scratch base folder for the files the archive makes, once per process;
// removed when the process ends.
const std::string& scratch() {
  if (scratchDir.empty()) {
    char tmpl[] = "/tmp/packetarchive_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    scratchDir = std::string(tmpl) + "/";
    atexit(removeScratch);
  }
  return scratchDir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BASE_DIR = scratch();
  PacketArchive archive;
  archive.setArchiveTemplate(scratch() + "archive/%S/%N/%Y%M%D_%H%m", "", ArchiveFormat::MINISEED,
                             ArchiveFormat::MINISEED);
  // The first byte splits the input: station text, then record bytes.
  size_t split = size == 0 ? 0 : data[0] % 32;
  if (split + 1 > size) split = size == 0 ? 0 : size - 1;
  const uint8_t* rest = size == 0 ? data : data + 1;
  archive.setNetLocStn(std::string(reinterpret_cast<const char*>(rest), split), 1);
  checkCode(archive.getStation());
  checkCode(archive.getNetwork());
  checkCode(archive.getLocation());
  SelvomaPacket packet;
  const size_t recordLen = size == 0 ? 0 : size - 1 - split;
  packet.make(SelvomaPacket::MINISEED, 0x01000001, 1, 0, rest + split, static_cast<int>(recordLen));
  archive.addPacket(packet);
  archive.addPacket(packet);
  archive.flush();
  checkCode(archive.getStation());
  checkCode(archive.getNetwork());
  checkCode(archive.getLocation());
  // The station id is "<station>.<id>": safe whenever a station is known.
  if (!archive.getStation().empty()) checkCode(archive.getStationWithId());
  for (int slot = 0; slot < PacketArchive::NUM_SLOTS; ++slot) {
    std::string name = archive.getChanname(slot);
    if (!name.empty() && name.size() != 3) abort();
  }
  return 0;
}
