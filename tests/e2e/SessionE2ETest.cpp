// The hub and simulated instruments over loopback: identification, link
// start, acknowledgement rules, recovery after a bad frame, the instrument's
// own shutdown, silence, and many instruments at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/HubRun.h"

namespace {

using std::chrono::seconds;

// The simulator's --verbose lines: "... [STA] R|S NAME TT ln=N seq=NNN ...".
struct FrameLine {
  char dir;          // 'R' received by the instrument, 'S' sent by it
  std::string name;  // short name, e.g. "ACK", "MINSEED", "COMMAND"
  int seq;
  std::string text;  // the rest of the line
};

std::vector<FrameLine> frameLines(const std::string& output, const std::string& station) {
  std::vector<FrameLine> lines;
  std::regex re("\\[" + station +
                "\\] ([RS]) (\\S+)\\s+[0-9A-F]{2} ln=\\s*[0-9]+ seq=([0-9]+)(.*)");
  std::istringstream in(output);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, re))
      lines.push_back({m[1].str()[0], m[2].str(), std::stoi(m[3].str()), m[4].str()});
  }
  return lines;
}

size_t countFrames(const std::vector<FrameLine>& lines, char dir, const std::string& name,
                   const std::string& text = "") {
  size_t n = 0;
  for (const auto& l : lines)
    if (l.dir == dir && l.name == name && l.text.find(text) != std::string::npos) ++n;
  return n;
}

TEST(SessionE2ETest, HubIdentifiesThenStartsTheLink) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--duration", "6", "--verbose", "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(20)));
  auto lines = frameLines(sim->output(), "SIM");
  ASSERT_GE(lines.size(), 4u) << sim->output();
  // The hub opens the exchange with IDENTIFY; after the answer comes LINK_INIT.
  EXPECT_EQ(lines[0].dir, 'R');
  EXPECT_EQ(lines[0].name, "IDENTIF");
  EXPECT_EQ(lines[1].dir, 'S');
  EXPECT_EQ(lines[1].name, "IDENTIF");
  EXPECT_EQ(lines[2].dir, 'R');
  EXPECT_EQ(lines[2].name, "LINK_IN");
  EXPECT_GE(countFrames(lines, 'R', "ACK"), 1u);
  EXPECT_TRUE(hub.waitForLog("Init_Identify. Connected: ", seconds(5))) << hub.allLogs();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
  // The nearly empty properties file was written back complete at the first link.
  std::string props = readText(hub.dir() + "settings/vorlanhub.props");
  for (const char* line : {"\nziparchive=1\n", "\ntrigwavepostsecs=30\n", "\nbackfillhours=24\n",
                           "\nport=", "\n# end.\n"})
    EXPECT_NE(props.find(line), std::string::npos) << line << "\n" << props;
}

TEST(SessionE2ETest, StreamingInstrumentIsAcknowledgedWithoutLinkInit) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator(
      {"--no-identify", "--speed", "5", "--duration", "8", "--verbose", "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(20)));
  auto lines = frameLines(sim->output(), "SIM");
  EXPECT_EQ(countFrames(lines, 'R', "LINK_IN"), 0u) << sim->output();
  EXPECT_GE(countFrames(lines, 'S', "MINSEED"), 5u);
  EXPECT_GE(countFrames(lines, 'R', "ACK"), 5u);
  EXPECT_NE(hub.allLogs().find("Got different packet"), std::string::npos) << hub.allLogs();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

TEST(SessionE2ETest, FiveUnansweredIdentifiesEndTheSession) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(hub.port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // Read until the hub closes the link; an IDENTIFY is a bare 21-byte frame.
  std::string bytes;
  char buf[512];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_EQ(bytes.size(), 5u * 21u);
  for (size_t i = 0; i + 21 <= bytes.size(); i += 21) {
    EXPECT_EQ(static_cast<uint8_t>(bytes[i]), 0x55);
    EXPECT_NE(bytes.find('\xfb', i), std::string::npos);
  }
  EXPECT_TRUE(hub.waitForLog("noreplycounter>=5  Calling FINISH", seconds(5))) << hub.allLogs();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

// Every data frame is acknowledged for instruments of build 4558 or lower;
// later builds get an ACK only for sequence numbers that are multiples of
// 100 (0 included), plus the keep-alive. The hub learns the build from the
// instrument's answer to its settings query.
TEST(SessionE2ETest, AcknowledgementIntervalFollowsTheBuildNumber) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto oldBuild =
      hub.simulator({"--build", "4558", "--station", "OLDB", "--id", "01000011", "--speed", "20",
                     "--duration", "50", "--verbose", "--reconnect", "0"});
  auto newBuild =
      hub.simulator({"--build", "4700", "--station", "NEWB", "--id", "01000012", "--speed", "20",
                     "--duration", "50", "--verbose", "--reconnect", "0"});
  ASSERT_TRUE(oldBuild->start());
  ASSERT_TRUE(newBuild->start());
  ASSERT_TRUE(oldBuild->wait(seconds(80)));
  ASSERT_TRUE(newBuild->wait(seconds(30)));

  for (auto* sim : {oldBuild.get(), newBuild.get()}) {
    bool isOld = sim == oldBuild.get();
    auto lines = frameLines(sim->output(), isOld ? "OLDB" : "NEWB");
    // From the answer with the build number on.
    size_t from = 0;
    while (from < lines.size() &&
           !(lines[from].dir == 'R' && lines[from].text.find("build_number") != std::string::npos))
      ++from;
    ASSERT_LT(from + 10, lines.size()) << "no build_number query seen";
    from += 10;  // the answer and its handling
    size_t data = 0, acks = 0, dueAcks = 0, dueAcked = 0;
    for (size_t i = from; i < lines.size(); ++i) {
      if (lines[i].dir == 'S' && lines[i].name == "MINSEED") {
        ++data;
        if (lines[i].seq % 100 == 0) {
          ++dueAcks;
          for (size_t j = i + 1; j < lines.size() && j < i + 40; ++j) {
            if (lines[j].dir == 'R' && lines[j].name == "ACK" && lines[j].seq == lines[i].seq) {
              ++dueAcked;
              break;
            }
          }
        }
      }
      if (lines[i].dir == 'R' && lines[i].name == "ACK") ++acks;
    }
    ASSERT_GE(data, 200u) << (isOld ? "OLDB" : "NEWB");
    if (isOld) {
      EXPECT_GE(acks, data * 9 / 10) << "build 4558: every frame is acknowledged";
    } else {
      EXPECT_LE(acks, data / 5) << "build 4700: data ACKs are thinned";
      EXPECT_GE(dueAcks, 1u);
      EXPECT_EQ(dueAcked, dueAcks) << "multiples of 100 are acknowledged";
    }
  }
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

TEST(SessionE2ETest, BadCheckWordQueuesOneStreamRequestAndRaisesVerbosity) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator(
      {"--duration", "45", "--verbose", "--reconnect", "0", "--script", "14:badcheck;14:badcheck"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(70)));
  auto lines = frameLines(sim->output(), "SIM");
  EXPECT_EQ(countFrames(lines, 'R', "COMMAND", "[stream 4]"), 1u) << sim->output();
  // A queued "sleep 10" is the hub's own pause before the next upload frame;
  // it never reaches the instrument.
  EXPECT_EQ(countFrames(lines, 'R', "COMMAND", "[sleep 10]"), 0u);
  std::string log = hub.log("SIM.01000001");
  size_t bad = log.find("BAD rw.receive()");
  ASSERT_NE(bad, std::string::npos) << hub.allLogs();
  // From then on the session logs in the long form: date, time, id.
  std::regex longForm("\n[0-9]{8} [0-9]{6}\\.[0-9]{3} [0-9a-f]{8} ");
  EXPECT_TRUE(std::regex_search(log.substr(bad), longForm)) << log.substr(bad, 2000);
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

TEST(SessionE2ETest, InstrumentShutdownEndsTheSessionAfterAnAck) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator(
      {"--duration", "20", "--verbose", "--reconnect", "0", "--script", "5:command shutdown"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(hub.waitForLog("SHUTDOWN [shutdown]", seconds(15))) << hub.allLogs();
  ASSERT_TRUE(hub.waitForLog("FINISH", seconds(10))) << hub.allLogs();
  ASSERT_TRUE(sim->wait(seconds(30)));
  auto lines = frameLines(sim->output(), "SIM");
  size_t shutdownAt = 0;
  while (shutdownAt < lines.size() &&
         lines[shutdownAt].text.find("[shutdown]") == std::string::npos)
    ++shutdownAt;
  ASSERT_LT(shutdownAt, lines.size()) << sim->output();
  bool acked = false;
  for (size_t i = shutdownAt + 1; i < lines.size(); ++i)
    if (lines[i].dir == 'R' && lines[i].name == "ACK" && lines[i].seq == lines[shutdownAt].seq)
      acked = true;
  EXPECT_TRUE(acked) << sim->output();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

TEST(SessionE2ETest, SilentInstrumentTimesOut) {
  HubRun hub("timeout=5\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--duration", "40", "--reconnect", "0", "--script", "4:silence 30"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(hub.waitForLog("LOOP START", seconds(10))) << hub.allLogs();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(hub.waitForLog("No good frame in 5000 ms.  FINISH", seconds(25))) << hub.allLogs();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(20));
  // The close line follows after the pause for short sessions.
  EXPECT_TRUE(hub.waitForLog("CLOSE     ", seconds(40))) << hub.allLogs();
  EXPECT_TRUE(hub.waitForLog("loop end", seconds(5))) << hub.allLogs();
  sim->signal(SIGTERM);
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

TEST(SessionE2ETest, TwentyInstrumentsForAMinute) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sims = hub.simulator(
      {"--count", "20", "--duration", "60", "--station-prefix", "M", "--reconnect", "0"});
  ASSERT_TRUE(sims->start());
  ASSERT_TRUE(sims->wait(seconds(90)));
  EXPECT_TRUE(hub.running());
  std::string out = sims->output();
  for (int i = 1; i <= 20; ++i) {
    char station[8];
    snprintf(station, sizeof station, "M%02d", i);
    SimSummary s = simSummary(out, station);
    ASSERT_TRUE(s.found) << station << "\n" << out;
    EXPECT_GE(s.records, 15) << station;
    EXPECT_GE(s.acks, 10) << station;
    EXPECT_EQ(s.nacks, 0) << station;
    EXPECT_EQ(s.bad, 0) << station;
  }
  // The stop also waits for the zip threads of twenty stations' last minutes.
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(60)));
  EXPECT_NE(hub.log("vh").find("shutdown file found"), std::string::npos);
  EXPECT_EQ(countOf(hub.log("vh"), "Thread start Client ["), 20u) << hub.log("vh");
}

TEST(SessionE2ETest, StopSignalEndsRunningSessionsFirst) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sims = hub.simulator({"--count", "3", "--duration", "30", "--reconnect", "0", "--verbose"});
  ASSERT_TRUE(sims->start());
  ASSERT_TRUE(waitFor([&] { return countOf(sims->output(), "link started") >= 3; }, seconds(15)))
      << sims->output();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(15));
  // Each session finished as on a closed link before the hub went away.
  EXPECT_EQ(countOf(hub.allLogs(), "loop end"), 3u) << hub.allLogs();
  EXPECT_EQ(countOf(hub.allLogs(), "CLOSE     "), 3u) << hub.allLogs();
  sims->signal(SIGTERM);
  sims->wait(seconds(10));
}

}  // namespace
