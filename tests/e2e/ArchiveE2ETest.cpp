// Nothing lost: the hub with simulated instruments (and hand-made frames over
// loopback) stores every accepted record exactly once in its minute files,
// read back with libmseed; time files, GAP lines, sanity rejections, restart
// gaps across a hub restart, and hostile station codes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmseed.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "protocol/FrameBytes.h"
#include "support/HubRun.h"
#include "util/FileUtil.h"

namespace {

using std::chrono::seconds;
namespace fs = std::filesystem;

constexpr uint8_t MINISEED = 0x88;
constexpr uint32_t RAW_ID = 0x01000002;

struct Stored {
  std::string file;
  std::string channel;
  hptime_t start;
};

// Every record of every "*.ms" file below folder, files in name order.
std::vector<Stored> readArchive(const std::string& folder) {
  std::vector<std::string> files;
  if (!fs::exists(folder)) return {};
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file() && e.path().extension() == ".ms") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  std::vector<Stored> out;
  for (const std::string& f : files) {
    MSFileParam* fp = nullptr;
    MSRecord* msr = nullptr;
    int rc;
    while ((rc = ms_readmsr_r(&fp, &msr, f.c_str(), 0, nullptr, nullptr, 1, 0, 0)) == MS_NOERROR) {
      out.push_back({f, msr->channel, msr->starttime});
    }
    EXPECT_EQ(rc, MS_ENDOFFILE) << f;
    ms_readmsr_r(&fp, &msr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
  }
  return out;
}

std::string minuteName(hptime_t t, const std::string& station) {
  time_t s = static_cast<time_t>(t / HPTMODULUS);
  struct tm tm;
  gmtime_r(&s, &tm);
  char name[80];
  strftime(name, sizeof name, "%Y/%m/%d/%H/%Y%m%d_%H%M_", &tm);
  return std::string(name) + station + ".ms";
}

// One real 512-byte record (CO.JSC, 100 sps, big-endian) as a template.
std::string jscRecord(size_t index) {
  std::vector<uint8_t> bytes;
  readFile(testData("CO.JSC.00.HHZ.100sps.steim2.mseed"), bytes);
  return std::string(reinterpret_cast<const char*>(bytes.data()) + index * 512, 512);
}

void putText(std::string& r, size_t at, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i) r[at + i] = i < text.size() ? text[i] : ' ';
}
void putRate(std::string& r, int rate) {
  r[32] = static_cast<char>((rate >> 8) & 0xff);
  r[33] = static_cast<char>(rate & 0xff);
  r[34] = 0;
  r[35] = 1;
}

// A bare instrument: a loopback connection that only sends frames.
class RawInstrument {
 public:
  explicit RawInstrument(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawInstrument() { close(); }
  bool connected() const { return connected_; }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(ArchiveE2ETest, ThreeChannelsForThreeMinutesAreStoredOnceInOrder) {
  HubRun hub("ziparchive=0\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--channels", "HHZ,HHN,HHE", "--rate", "100", "--backlog", "200",
                            "--as-fast-as-possible", "--records", "300", "--duration", "12",
                            "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(40)));
  SimSummary s = simSummary(sim->output(), "SIM");
  ASSERT_TRUE(s.found) << sim->output();
  ASSERT_TRUE(hub.waitForLog("FINISH", seconds(40))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));

  const std::string root = hub.dir() + "/archive/SIM";
  auto stored = readArchive(root);
  EXPECT_EQ(static_cast<long>(stored.size()), s.records) << sim->output();
  std::map<std::string, std::vector<hptime_t>> byChannel;
  std::set<std::pair<std::string, hptime_t>> seen;
  for (const Stored& r : stored) {
    EXPECT_TRUE(seen.insert({r.channel, r.start}).second) << "twice: " << r.channel << r.start;
    byChannel[r.channel].push_back(r.start);
    // A batch goes to the minute of its first record: the record's own
    // minute or the one before.
    hptime_t minute = HPTMODULUS * 60;
    std::string own = root + "/" + minuteName(r.start, "SIM");
    std::string before = root + "/" + minuteName(r.start - minute, "SIM");
    EXPECT_TRUE(r.file == own || r.file == before) << r.file << " " << own;
  }
  ASSERT_EQ(byChannel.size(), 3u);
  hptime_t first = stored.front().start, last = stored.front().start;
  for (const auto& [channel, starts] : byChannel) {
    EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end())) << channel;
    first = std::min(first, starts.front());
    last = std::max(last, starts.back());
    // The first record of each channel logs a GAP line, contiguous ones none.
    EXPECT_EQ(countOf(hub.allLogs(), "GAP " + channel + " End:"), 1u) << channel;
  }
  EXPECT_GE(last - first, 3 * 60 * HPTMODULUS - 60 * HPTMODULUS / 2);
  EXPECT_EQ(readText(hub.dir() + "/time/SIM.01000001.last"), std::to_string(last / HPTMODULUS));
}

TEST(ArchiveE2ETest, RepeatsInsaneRecordsAndTheLastRecordBeforeADisconnect) {
  HubRun hub("ziparchive=0\nverbose=2\n");  // every log line written at once
  ASSERT_TRUE(hub.start());
  RawInstrument raw(hub.port());
  ASSERT_TRUE(raw.connected());
  std::string a = jscRecord(0), b = jscRecord(1);
  for (std::string* r : {&a, &b}) putText(*r, 8, "RAW", 5);
  std::vector<std::string> insane;
  for (int rate : {5, 20000}) {
    std::string r = b;
    putRate(r, rate);
    insane.push_back(r);
  }
  insane.push_back(b + std::string(1536, '\0'));  // 2048 payload bytes
  std::string twoChar = b;
  putText(twoChar, 15, "HH", 3);
  insane.push_back(twoChar);

  uint8_t seq = 1;
  ASSERT_TRUE(raw.send(frame(MINISEED, RAW_ID, a, seq++)));
  ASSERT_TRUE(hub.waitForLog("Got different packet", seconds(10))) << hub.allLogs();
  ASSERT_TRUE(raw.send(frame(MINISEED, RAW_ID, a, seq++)));  // the same record again
  for (const std::string& r : insane) ASSERT_TRUE(raw.send(frame(MINISEED, RAW_ID, r, seq++)));
  ASSERT_TRUE(raw.send(frame(MINISEED, RAW_ID, b, seq++)));
  ASSERT_TRUE(hub.waitForLog("Not sane packet. deleted", seconds(10)));
  sleep(1);
  raw.close();  // right after the last record: no filler records
  ASSERT_TRUE(hub.waitForLog("FINISH", seconds(20))) << hub.allLogs();

  auto stored = readArchive(hub.dir() + "/archive/RAW");
  ASSERT_EQ(stored.size(), 2u) << hub.allLogs();
  EXPECT_EQ(readText(stored[0].file), a + b);
  EXPECT_EQ(countOf(hub.allLogs(), "Not sane packet. deleted"), insane.size());
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
}

TEST(ArchiveE2ETest, HostileStationCodesStayInsideTheArchiveTree) {
  HubRun hub("ziparchive=0\nverbose=2\n");
  ASSERT_TRUE(hub.start());
  RawInstrument raw(hub.port());
  ASSERT_TRUE(raw.connected());
  std::string r = jscRecord(0);
  putText(r, 8, "../..", 5);
  putText(r, 18, "/.", 2);
  ASSERT_TRUE(raw.send(frame(MINISEED, RAW_ID, r, 1)));
  ASSERT_TRUE(hub.waitForLog("Got different packet", seconds(10))) << hub.allLogs();
  sleep(1);
  raw.close();
  ASSERT_TRUE(hub.waitForLog("FINISH", seconds(20))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  // "../.." becomes "_._..": one folder name, never a way up.
  const std::string station = "_._..";
  EXPECT_TRUE(
      isFile(hub.dir() + "/archive/" + station + "/2016/09/21/13/20160921_1348_" + station + ".ms"))
      << hub.allLogs();
  EXPECT_TRUE(isFile(hub.dir() + "/time/" + station + ".01000002.last"));
  EXPECT_TRUE(isDir(hub.dir() + "/upload/" + station + ".01000002"));
  for (const auto& e : fs::recursive_directory_iterator(hub.dir())) {
    std::string p = fs::weakly_canonical(e.path()).string();
    EXPECT_EQ(p.rfind(fs::weakly_canonical(hub.dir()).string(), 0), 0u) << p;
  }
}

TEST(ArchiveE2ETest, HubRestartWhileTheInstrumentRecordsLeavesARestartGap) {
  HubRun hub("ziparchive=0\nverbose=2\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--reconnect", "1", "--duration", "150"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(hub.waitForLog("GAP HHE End:", seconds(20))) << hub.allLogs();
  sleep(3);
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  const std::string lastPath = hub.dir() + "/time/SIM.01000001.last";
  const std::string before = readText(lastPath);
  ASSERT_FALSE(before.empty());
  const long last = std::stol(before);
  sleep(5);  // the instrument keeps recording while no hub listens

  ASSERT_TRUE(hub.start());
  ASSERT_TRUE(hub.waitForLog("Adding Restart Gap [SIM], ", seconds(90))) << hub.allLogs();
  ASSERT_TRUE(hub.waitForLog("ADDING RESTART GAP SIM.01000001 ", seconds(5))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  sim->signal(SIGTERM);
  sim->wait(seconds(10));

  // The gap file lists the restart gap in its line format, and it is still
  // there after the stop.
  const std::string gaps = readText(hub.dir() + "/time/SIM.01000001.gaps");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(gaps, m, std::regex("^([0-9]+) ([0-9]+) ([0-9]+) 6    \n")))
      << gaps;
  const long start = std::stol(m[2].str()), end = std::stol(m[3].str());
  EXPECT_EQ(start, (last - 60) / 60 * 60);
  // The restart came more than 5 s after the last stored second; the gap
  // reaches past it to the end of a later minute.
  EXPECT_GE(end, last + 5);
  EXPECT_EQ((end + 1) % 60, 0);
}

}  // namespace
