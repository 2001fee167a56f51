// The hub and one simulated instrument over loopback, driven through the
// simulator's control file: a NACK from the instrument moves the hub's own
// numbering, a frame of an unknown type is logged and acknowledged, and the
// keep-alive ACK keeps coming while data ACKs are thinned.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/SelvomaPacket.h"
#include "support/HubRun.h"

namespace {

using std::chrono::seconds;

constexpr char STATION[] = "SIM";
constexpr char STATION_LOG[] = "SIM.01000001";  // "%s.%08x": station code and id
constexpr int SEQ_MODULUS = 256;
constexpr int DATA_ACK_EVERY = 100;    // builds above 4558: data ACKs for multiples of this
constexpr long KEEPALIVE_BOUND_S = 8;  // 7 s plus the second resolution of the lines
constexpr long KEEPALIVE_WINDOW_S = 30;
constexpr long THINNING_SETTLE_S = 3;  // the answer is handled before ACKs are thinned

// The simulator's --verbose lines:
// "YYYY-MM-DD hh:mm:ss [STA] R|S NAME TT ln=N seq=NNN ...".
struct FrameLine {
  long second;       // the line's time (UTC), seconds since the epoch
  char dir;          // 'R' received by the instrument, 'S' sent by it
  std::string name;  // short name, e.g. "ACK", "MINSEED", "COMMAND"
  int type;          // message type
  int seq;
  std::string text;  // the rest of the line
};

std::vector<FrameLine> frameLines(const std::string& output) {
  std::vector<FrameLine> lines;
  std::regex re(std::string("^([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}) \\[") +
                STATION + "\\] ([RS]) (\\S+)\\s+([0-9A-F]{2}) ln=\\s*[0-9]+ seq=([0-9]{1,3})(.*)");
  std::istringstream in(output);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_search(line, m, re)) continue;
    int seq = std::stoi(m[5].str());
    std::tm tm{};
    if (seq >= SEQ_MODULUS || strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &tm) == nullptr)
      continue;
    lines.push_back({static_cast<long>(timegm(&tm)), m[2].str()[0], m[3].str(),
                     std::stoi(m[4].str(), nullptr, 16), seq, m[6].str()});
  }
  return lines;
}

bool isAck(const FrameLine& l) { return l.dir == 'R' && l.type == SelvomaPacket::ACK; }

// Frames the hub originates itself (not its answers ACK and NACK).
bool isHubOriginated(const FrameLine& l) {
  return l.dir == 'R' && l.type != SelvomaPacket::ACK && l.type != SelvomaPacket::NACK;
}

// Index of the first line at or after from that matches, or lines.size().
template <typename Pred>
size_t findLine(const std::vector<FrameLine>& lines, size_t from, Pred pred) {
  while (from < lines.size() && !pred(lines[from])) ++from;
  return from;
}

// One simulator with a control file, streaming in real time into a fresh hub.
class SessionRecoveryE2ETest : public ::testing::Test {
 protected:
  void startSimulator(std::vector<std::string> extra = {}) {
    ASSERT_TRUE(hub_.start());
    std::vector<std::string> args{"--verbose", "--reconnect", "0",     "--duration",
                                  "90",        "--control",   control_};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = hub_.simulator(args);
    ASSERT_TRUE(sim_->start());
    ASSERT_TRUE(waitFor([&] { return sim_->output().find("link started") != std::string::npos; },
                        seconds(15)))
        << sim_->output();
  }

  // Appends a command line to the control file (the simulator polls it).
  void control(const std::string& line) {
    std::ofstream out(control_, std::ios::app);
    out << line << "\n";
  }

  // Waits until the frame lines satisfy pred.
  template <typename Pred>
  bool waitForLines(Pred pred, seconds timeout) {
    return waitFor([&] { return pred(frameLines(sim_->output())); }, timeout);
  }

  // Ends the simulator, and so the session, whose log is written in batches
  // and flushed when the session finishes; then waits (bounded) until the
  // session's log holds text.
  bool endSessionAndFindInLog(const std::string& text) {
    control("quit");
    if (!sim_->wait(seconds(10))) return false;
    EXPECT_EQ(sim_->exitCode(), 0) << sim_->output();
    return waitFor([&] { return hub_.log(STATION_LOG).find(text) != std::string::npos; },
                   seconds(15));
  }

  void TearDown() override {
    if (sim_ && sim_->running()) {
      control("quit");
      sim_->wait(seconds(10));
    }
    if (hub_.running()) {
      EXPECT_TRUE(hub_.stopBySignal(SIGTERM));
    }
  }

  HubRun hub_;
  TempDir controlDir_;
  std::string control_ = controlDir_.file("sim.ctl");
  std::unique_ptr<ChildProcess> sim_;
};

// The hub's setting queries start about 20 s into the session; after a few
// of them the instrument asks for number 10 again, and the next frame the hub
// originates carries it, the one after 11.
TEST_F(SessionRecoveryE2ETest, NackMovesTheHubsNumberingBack) {
  ASSERT_NO_FATAL_FAILURE(startSimulator());
  auto queries = [](const std::vector<FrameLine>& lines) {
    size_t n = 0;
    for (const auto& l : lines)
      if (isHubOriginated(l) && l.text.find("[? ") != std::string::npos) ++n;
    return n;
  };
  ASSERT_TRUE(waitForLines([&](const auto& lines) { return queries(lines) >= 3; }, seconds(40)))
      << sim_->output();
  control("nack 10");
  auto nackAt = [](const std::vector<FrameLine>& lines) {
    return findLine(
        lines, 0, [](const FrameLine& l) { return l.dir == 'S' && l.type == SelvomaPacket::NACK; });
  };
  ASSERT_TRUE(waitForLines(
      [&](const auto& lines) {
        size_t nack = nackAt(lines);
        size_t first = findLine(lines, nack + 1, isHubOriginated);
        return first < lines.size() && findLine(lines, first + 1, isHubOriginated) < lines.size();
      },
      seconds(15)))
      << sim_->output();

  auto lines = frameLines(sim_->output());
  size_t nack = nackAt(lines);
  ASSERT_LT(nack, lines.size());
  EXPECT_EQ(lines[nack].seq, 10);
  // Before the NACK the hub's own numbering was still below 9, so the jump is the NACK's doing.
  size_t lastBefore = lines.size();
  for (size_t i = 0; i < nack; ++i)
    if (isHubOriginated(lines[i])) lastBefore = i;
  ASSERT_LT(lastBefore, lines.size());
  EXPECT_LT(lines[lastBefore].seq, 9);

  size_t first = findLine(lines, nack + 1, isHubOriginated);
  size_t second = findLine(lines, first + 1, isHubOriginated);
  EXPECT_EQ(lines[first].name, "COMMAND") << sim_->output();
  EXPECT_EQ(lines[first].seq, 10) << sim_->output();
  EXPECT_EQ(lines[second].seq, 11) << sim_->output();
  EXPECT_TRUE(endSessionAndFindInLog("NACK BACKTRACK.  set _seqNo=9")) << hub_.allLogs();
}

// A frame of type 0x90 is logged, acknowledged at once by its own number,
// and numbered like data: the session goes on without an out-of-order
// complaint and acknowledges the next data frame.
TEST_F(SessionRecoveryE2ETest, UnknownMessageTypeIsLoggedAndAcknowledged) {
  ASSERT_NO_FATAL_FAILURE(startSimulator());
  ASSERT_TRUE(waitForLines(
      [](const auto& lines) { return findLine(lines, 0, isAck) < lines.size(); }, seconds(15)))
      << sim_->output();
  control("frame 90");
  auto unknownAt = [](const std::vector<FrameLine>& lines) {
    return findLine(lines, 0, [](const FrameLine& l) { return l.dir == 'S' && l.type == 0x90; });
  };
  auto ackOf = [](const std::vector<FrameLine>& lines, size_t from, int seq) {
    return findLine(lines, from, [seq](const FrameLine& l) { return isAck(l) && l.seq == seq; });
  };
  ASSERT_TRUE(waitForLines(
      [&](const auto& lines) {
        size_t at = unknownAt(lines);
        if (at == lines.size()) return false;
        int next = (lines[at].seq + 1) % SEQ_MODULUS;
        return ackOf(lines, at + 1, next) < lines.size();
      },
      seconds(15)))
      << sim_->output();

  auto lines = frameLines(sim_->output());
  size_t at = unknownAt(lines);
  ASSERT_LT(at, lines.size());
  EXPECT_EQ(lines[at].name, "UNKNOWN(0x90)");
  size_t ack = ackOf(lines, at + 1, lines[at].seq);
  ASSERT_LT(ack, lines.size()) << sim_->output();
  // Acknowledged on receipt, not by the keep-alive up to 7 s later.
  EXPECT_LE(lines[ack].second - lines[at].second, 1) << sim_->output();
  ASSERT_TRUE(endSessionAndFindInLog("UNKNOWN(90)")) << hub_.allLogs();
  std::string log = hub_.log(STATION_LOG);
  EXPECT_EQ(log.find("Why seqNo"), std::string::npos) << log;
  EXPECT_EQ(countOf(hub_.allLogs(), "LOOP START"), 1u) << "one session throughout";
}

// With build 4700 data ACKs go out only for multiples of 100 once the hub
// knows the build. For at least 30 s after the build number is answered, no
// two ACKs are further apart than the keep-alive allows; and the ACKs that
// neither answer a COMMAND nor are due for data (the keep-alives: repeats,
// or ACKs of data numbers that are not due) are themselves never further
// apart than that.
TEST_F(SessionRecoveryE2ETest, KeepAliveAckComesAtLeastEverySevenSeconds) {
  ASSERT_NO_FATAL_FAILURE(startSimulator({"--build", "4700", "--speed", "1"}));
  auto answerAt = [](const std::vector<FrameLine>& lines) {
    return findLine(lines, 0, [](const FrameLine& l) {
      return l.dir == 'S' && l.text.find("[\"build_number\"=4700]") != std::string::npos;
    });
  };
  ASSERT_TRUE(waitForLines(
      [&](const auto& lines) {
        size_t at = answerAt(lines);
        return at < lines.size() && lines.back().second - lines[at].second > KEEPALIVE_WINDOW_S;
      },
      seconds(80)))
      << sim_->output();
  control("quit");
  ASSERT_TRUE(sim_->wait(seconds(10)));
  EXPECT_EQ(sim_->exitCode(), 0) << sim_->output();

  auto lines = frameLines(sim_->output());
  size_t answer = answerAt(lines);
  ASSERT_LT(answer, lines.size());
  long start = lines[answer].second;
  long end = lines.back().second;
  ASSERT_GT(end - start, KEEPALIVE_WINDOW_S);

  // Frames sent by the instrument, by number: their type and whether an ACK of
  // them was seen already.
  struct Sent {
    int type = -1;
    bool acked = false;
  };
  std::vector<Sent> sent(SEQ_MODULUS);
  long lastAck = start, lastKeepAlive = start + THINNING_SETTLE_S;
  long widestAckGap = 0, widestKeepAliveGap = 0;
  size_t keepAlives = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const FrameLine& l = lines[i];
    if (l.dir == 'S' && l.type != SelvomaPacket::ACK && l.type != SelvomaPacket::NACK) {
      sent[l.seq] = Sent{l.type, false};
      continue;
    }
    if (!isAck(l)) continue;
    Sent& s = sent[l.seq];
    bool data = s.type == SelvomaPacket::MINISEED || s.type == SelvomaPacket::TRIGGER ||
                s.type == SelvomaPacket::FILE_PART;
    bool due = !s.acked && (data ? l.seq % DATA_ACK_EVERY == 0 : s.type >= 0);
    s.acked = true;
    if (i <= answer) continue;
    widestAckGap = std::max(widestAckGap, l.second - lastAck);
    lastAck = l.second;
    if (due || l.second < start + THINNING_SETTLE_S) continue;
    ++keepAlives;
    widestKeepAliveGap = std::max(widestKeepAliveGap, l.second - lastKeepAlive);
    lastKeepAlive = l.second;
  }
  widestAckGap = std::max(widestAckGap, end - lastAck);
  widestKeepAliveGap = std::max(widestKeepAliveGap, end - lastKeepAlive);
  EXPECT_LE(widestAckGap, KEEPALIVE_BOUND_S) << sim_->output();
  EXPECT_GE(keepAlives, static_cast<size_t>(KEEPALIVE_WINDOW_S / KEEPALIVE_BOUND_S));
  EXPECT_LE(widestKeepAliveGap, KEEPALIVE_BOUND_S) << sim_->output();
}

}  // namespace
