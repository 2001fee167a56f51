// Feeds arbitrary bytes to the gap store as a station's gap file, then pops,
// stores and loads again. Whatever was loaded must respect the list's rules,
// and the file the store writes must load back.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gaps/Gaps.h"
#include "util/Dirs.h"

namespace {

constexpr char STATION[] = "FUZZ.00000001";
std::string scratch;  // the base folder made for this run, removed at exit

void removeScratch() {
  unlink((scratch + "time/" + STATION + ".gaps").c_str());
  unlink((scratch + "time/" + STATION + ".gaps.tmp").c_str());
  rmdir((scratch + "time").c_str());
  rmdir(scratch.c_str());
}

// In memory where possible: the store syncs every file it writes, which on
// a disk would take most of the run.
const std::string& scratchDir() {
  static const std::string dir = [] {
    char inMemory[] = "/dev/shm/gapfile_fuzz.XXXXXX";
    char onDisk[] = "/tmp/gapfile_fuzz.XXXXXX";
    const char* made = mkdtemp(inMemory);
    if (made == nullptr) made = mkdtemp(onDisk);
    if (made == nullptr) abort();
    scratch = std::string(made) + "/";
    mkdir((scratch + "time").c_str(), 0777);
    BASE_DIR = scratch;
    atexit(removeScratch);
    return scratch;
  }();
  return dir;
}

void checkList(const Gaps& gaps) {
  if (gaps.size() > GAPS_MAX) abort();
  for (const Gap& gap : gaps.getList()) {
    if (gap.start() < GAP_TIME_MIN || gap.end() < gap.start()) abort();
    if (gap.action() < Gap::BLDTRI || gap.action() >= Gap::DLFILE) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = scratchDir() + "time/" + STATION + ".gaps";
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  fwrite(data, 1, size, file);
  fclose(file);

  Gaps gaps;
  if (!gaps.setStationWithId(STATION)) abort();
  gaps.load(nullptr);
  checkList(gaps);
  size_t loaded = gaps.size();
  gaps.logGaps(nullptr);
  if (!gaps.store(nullptr)) abort();

  // Loading moves every end a minute later, so backfill gaps may merge:
  // never more gaps than were stored.
  Gaps again;
  if (!again.setStationWithId(STATION)) abort();
  again.load(nullptr);
  checkList(again);
  if (again.size() > loaded) abort();
  for (int i = 0; i < 3 && again.pop(nullptr, 24, 0); ++i) {
  }
  checkList(again);
  return 0;
}
