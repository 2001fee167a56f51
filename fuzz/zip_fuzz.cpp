// Feeds arbitrary bytes as a zip file to every reader of outside zips: the
// extraction into memory and into a folder, the entry size, the channel
// count of a minute zip and a zip given as input to a new zip. Checks:
// extraction never writes outside its folder, and a new zip either holds
// entries or is absent.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

constexpr char kPrefix[] = "zip_fuzz.";

// A scratch folder of this process, in memory where the host has one.
const std::string& workDir() {
  static const std::string dir = [] {
    std::string base = isDir("/dev/shm") ? "/dev/shm" : "/tmp";
    // The fuzzer may end without running exit handlers: folders of ended
    // runs are removed here instead.
    std::vector<std::string> old;
    getSubdirs(base, old, false, 0);
    for (const std::string& name : old) {
      if (name.compare(0, strlen(kPrefix), kPrefix) != 0) continue;
      long pid = strtol(name.c_str() + strlen(kPrefix), nullptr, 10);
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        deleteFolder(base + "/" + name);
      }
    }
    std::string d = base + "/" + kPrefix + std::to_string(getpid()) + "/";
    mkdirs(d + "out/", true);
    LUMETRAFILES = d + "lumetra";
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = workDir();
  const std::string zip = dir + "20230406_1234_ABCD.ms.zip";
  FILE* f = fopen(zip.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);

  std::vector<uint8_t> entry;
  Zipper::extractFile(zip, "20230406_1234_ABCD.ms", &entry);
  if (entry.size() > Zipper::EXTRACT_MEMORY_MAX) abort();
  Zipper::entrySize(zip, "20230406_1234_ABCD.ms");
  time_t start = 0;
  int channels = Miniseed::numChannelsInZipFile(zip, &start);
  if (channels < 0 || channels > Miniseed::NUM_CHANNELS_RECORDS) abort();

  const std::string out = dir + "out/";
  std::vector<std::string> files;
  Zipper::uncompressFile(zip, out, &files);
  for (const std::string& file : files) {
    if (file.compare(0, out.size(), out) != 0 || file.find('/', out.size()) != std::string::npos) {
      abort();
    }
  }
  Zipper::deleteFiles(files);

  const std::string made = dir + "made.zip";
  if (Zipper::compressFile(made, zip) != isFile(made)) abort();
  removeFile(made);
  // The scratch folders of the zip given as input are gone.
  std::vector<std::string> left;
  getSubdirs(dir + "lumetra/tmp", left, false, 0);
  if (!left.empty()) abort();
  return 0;
}
