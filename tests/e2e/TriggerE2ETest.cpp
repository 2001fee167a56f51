// A trigger end to end: the simulated instrument reports a STALTA trigger;
// the hub writes its trigger file (zipped with its minute too), assembles
// the waveform package around it (the merged miniSEED reads with libmseed:
// one continuous trace per channel) and mirrors records, the trigger and the
// package into the monitor folder.
#include <gtest/gtest.h>
#include <zip.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "support/HubRun.h"
#include "support/MseedRecords.h"

namespace {

using std::chrono::seconds;

// name -> bytes of every entry of a zip, read with libzip.
std::map<std::string, std::string> zipEntries(const std::string& path) {
  std::map<std::string, std::string> out;
  int error = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (za == nullptr) return out;
  for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
    zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
    std::string bytes;
    char buffer[4096];
    zip_int64_t n;
    while (f != nullptr && (n = zip_fread(f, buffer, sizeof(buffer))) > 0) bytes.append(buffer, n);
    if (f != nullptr) zip_fclose(f);
    out[zip_get_name(za, static_cast<zip_uint64_t>(i), 0)] = bytes;
  }
  zip_discard(za);
  return out;
}

TEST(TriggerE2ETest, TriggerFileWaveformPackageAndMonitorCopies) {
  HubRun hub(
      "trigbackfill=0\ntrigwavepresecs=3\ntrigwavepostsecs=2\nmonitorenabled=1\nmonitordir=mon\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--station", "TRGE", "--id", "01000abc", "--channels", "HHZ,HHN,HHE",
                            "--script", "4:trigger 4", "--duration", "60", "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  const std::string root = hub.dir() + "archive/";
  std::vector<std::string> zips;
  ASSERT_TRUE(waitFor(
      [&] {
        zips = filesBelow(root + "triggers", ".zip");
        return !zips.empty() &&
               hub.allLogs().find("closePthread [void* assembleTriggerZip") != std::string::npos;
      },
      std::chrono::seconds(75)))
      << hub.allLogs();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM, seconds(60))) << hub.process().output();

  const std::vector<std::string> triggers = filesBelow(root + "trigxml/TRGE", ".trig.xml");
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_NE(readText(triggers[0]).find("<triggertype>4 STALTA TRIGGER</triggertype>"),
            std::string::npos);

  // The trigger's minute is zipped with the trigger file.
  const std::string triggerName = triggers[0].substr(triggers[0].rfind('/') + 1);
  int minutesWithTrigger = 0;
  for (const std::string& minute : filesBelow(root + "TRGE", ".ms.zip"))
    minutesWithTrigger += static_cast<int>(zipEntries(minute).count(triggerName));
  EXPECT_EQ(minutesWithTrigger, 1);

  ASSERT_EQ(zips.size(), 1u);
  const auto entries = zipEntries(zips[0]);
  std::string merged;
  for (const auto& [name, bytes] : entries) {
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".ms") == 0) merged = bytes;
  }
  EXPECT_EQ(entries.count("settings.ss"), 1u);
  EXPECT_EQ(entries.count("TRGE.01000abc.station.xml"), 1u);
  EXPECT_EQ(entries.count(triggerName), 1u);
  int bad = 0;
  std::map<std::string, std::vector<hptime_t>> starts;
  for (const RecordId& r : recordsIn(merged, &bad)) starts[r.channel].push_back(r.start);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(starts.size(), 3u);
  // One continuous trace per channel: libmseed joins the unpacked records.
  MSTraceGroup* group = mst_initgroup(nullptr);
  for (size_t at = 0; at + 512 <= merged.size(); at += 512) {
    std::string record = merged.substr(at, 512);
    MSRecord* msr = nullptr;
    ASSERT_EQ(msr_parse(&record[0], 512, &msr, 0, 1, 0), MS_NOERROR);
    mst_addmsrtogroup(group, msr, 0, -1.0, -1.0);
    msr_free(&msr);
  }
  EXPECT_EQ(group->numtraces, 3);
  mst_freegroup(&group);

  const std::vector<std::string> monitor = filesBelow(hub.dir() + "mon", "");
  int records = 0, triggerFiles = 0, packages = 0;
  for (const std::string& f : monitor) {
    records += f.find(".TRGE.HH") != std::string::npos && f.rfind(".ms") == f.size() - 3;
    triggerFiles += f.find(".trig.xml") != std::string::npos;
    packages += f.rfind(".zip") == f.size() - 4;
  }
  EXPECT_GT(records, 0);
  EXPECT_EQ(triggerFiles, 1);
  EXPECT_EQ(packages, 1);
}

}  // namespace
