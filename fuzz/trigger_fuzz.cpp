// The trigger handling with instrument input: the first byte picks the
// form, the rest is a TRIGGER payload of any length, a "level trigger info"
// text or a "trigger " text. Trigger files and broadcasts must stay below the
// base folder, and the parsed values must be in their ranges.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "triggers/Trigger.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

constexpr time_t NOW = 1700000000;

// A fresh base folder for one input, removed when the input is done.
struct Scratch {
  Scratch() {
    char made[] = "/tmp/trigger_fuzz.XXXXXX";
    if (mkdtemp(made) == nullptr) abort();
    BASE_DIR = std::string(made) + "/";
    UPLOAD_DIR = BASE_DIR + "upload/";
  }
  ~Scratch() { deleteFolder(BASE_DIR); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Scratch scratch;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  Trigger trigger;
  trigger.TEST_setClock([] { return NOW; });
  trigger.setArchive(BASE_DIR + "trigxml/%S/%Y%M%D_%H%m_%s_%S.trig", "", "", nullptr, nullptr);
  switch (data[0] % 3) {
    case 0: {
      SelvomaPacket packet;
      packet.make(SelvomaPacket::TRIGGER, 1, 2, 0, data + 1, static_cast<int>(size - 1));
      trigger.writeTrigger(packet, "XX", "FUZZ", "00", "HHZ", 0x01000001);
      // Station names from the input: only plain names get a folder.
      std::vector<std::string> names;
      for (size_t at = 0; at < rest.size(); at += 8) names.push_back(rest.substr(at, 8));
      trigger.writeBroadcasts(packet, names, "FUZZ.01000001", 30);
      break;
    }
    case 1: {
      LevelTriggerInfo info;
      if (Trigger::parseLevelTriggerInfo(rest, NOW, &info)) {
        if (!std::isfinite(info.peak) || info.peak == 0 || info.units.size() > Trigger::UNITS_MAX ||
            info.microseconds < 0 || info.microseconds > 999999) {
          abort();
        }
      }
      break;
    }
    default: {
      SelTrigger record;
      if (Trigger::parseTextTrigger(rest, &record)) {
        if (record.time < 0 || record.alarmType > 9 || record.usec > 999999) abort();
      }
      break;
    }
  }
  // Nothing lands outside the base folder's two trees.
  std::vector<std::string> top;
  forEachEntry(BASE_DIR, 100, [&top](const char* name, const std::string&) {
    top.push_back(name);
    return true;
  });
  for (const std::string& name : top) {
    if (name != "trigxml" && name != "upload") abort();
  }
  return 0;
}
