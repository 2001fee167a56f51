// Drives the file retrieval with arbitrary instrument answers and client
// requests: RESPONSE_FILE_NAME texts, FILE_PART pieces of any number and
// length, named downloads with any destination, time-outs. A destination
// must stay below the download folder and the bytes held must stay bounded.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/ActivityFiles.h"
#include "archive/PacketArchive.h"
#include "metadata/SsFile.h"
#include "session/DremoFiles.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

// A fresh base folder for one input, removed when the input is done, so
// that a long run leaves nothing behind.
struct Scratch {
  Scratch() {
    char made[] = "/tmp/dremofiles_fuzz.XXXXXX";
    if (mkdtemp(made) == nullptr) abort();
    BASE_DIR = std::string(made) + "/";
    DOWNLOAD_DIR = BASE_DIR + "download/";
  }
  ~Scratch() { deleteFolder(BASE_DIR); }
};

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string text(size_t n) {
    n = std::min(n, size - at);
    std::string s(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return s;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch scratch;
  PacketArchive archive;
  archive.setNetLocStn("XX.00.FUZZ", 0x01000001);
  SsFile settings;
  ActivityFiles activity;
  activity.init(&archive);
  time_t now = 1700000000;
  DremoFiles files(archive, settings, activity, [](uint8_t, const std::string&) {});
  files.TEST_setClock([&now] { return now; });
  files.setStation("FUZZ");
  files.setStationLabel(archive.getStationWithId());
  Reader in{data, size};
  while (in.more()) {
    switch (in.byte() % 6) {
      case 0: {
        std::string name = in.text(in.byte());
        files.requestFile(name, in.text(in.byte()));
        break;
      }
      case 1:
        files.get(now - 60 * in.byte());
        break;
      case 2:
        if (files.isWaitingForName()) files.setFilePath(files.repairFilePath(in.text(in.byte())));
        break;
      case 3: {
        FilePart part;
        part.partNumber = static_cast<uint16_t>(in.byte() << 8 | in.byte());
        const std::string bytes = in.text(in.byte() * 4u);
        part.data.assign(bytes.begin(), bytes.end());
        files.add(part);
        break;
      }
      case 4:
        now += in.byte();
        files.doAction();
        break;
      default:
        files.requestFile(in.text(in.byte()),
                          static_cast<DremoFiles::FileType>(in.byte() % (DremoFiles::OTHER + 1)));
        break;
    }
    const std::string& dest = files.getDestinationPath();
    if (!dest.empty() && (dest.compare(0, DOWNLOAD_DIR.size(), DOWNLOAD_DIR) != 0 ||
                          dest.find("/../") != std::string::npos)) {
      abort();
    }
    if (files.getDownloadedBytes() > DremoFiles::DOWNLOAD_MAX_BYTES) abort();
  }
  // Nothing is written outside the base folder (a part file without its
  // destination would land in the working folder).
  if (isFile(".part")) abort();
  return 0;
}
