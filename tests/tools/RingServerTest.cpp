// ringservervh without sockets: the folder scan and its kept state, the
// ring journal across a restart, and SeedLink conversations (selection,
// resuming by sequence, INFO, hostile lines) against real records; then the
// server on loopback: hostile clients, and SeedLink and DataLink over
// WebSocket through a minimal client of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "DataLink.h"
#include "RecordStore.h"
#include "ScanState.h"
#include "SeedLink.h"
#include "Server.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

constexpr size_t PACKET = SL_HEADER_LENGTH + SL_RECORD_LENGTH;

std::vector<std::string> jsc() { return testRecords(JSC_RECORDS); }

// Scans folder with state file, collecting the records handed on.
struct Scanner {
  Scanner(const TempDir& dir, bool initCurrent) {
    RingScan config{dir.file("scan"), dir.file("scan.state"), initCurrent};
    state = std::make_unique<ScanState>(config, [this](const uint8_t* r) {
      got.emplace_back(reinterpret_cast<const char*>(r), SL_RECORD_LENGTH);
    });
  }
  std::unique_ptr<ScanState> state;
  std::vector<std::string> got;
};

void appendText(const std::string& path, const std::string& bytes) {
  writeText(path, readText(path) + bytes);
}

TEST(RingScanTest, WholeRecordsOnceAcrossRestartsDamageSkipped) {
  TempDir dir;
  const std::vector<std::string> recs = jsc();
  mkdirs(dir.file("scan/sub"), true);
  writeText(dir.file("scan/old.ms"), recs[0] + recs[1].substr(0, 100));
  {
    Scanner first(dir, true);
    EXPECT_FALSE(first.state->load());
    EXPECT_EQ(first.state->scan(), 0);  // InitCurrentState: what is there counts as read
    appendText(dir.file("scan/old.ms"), recs[1].substr(100) + recs[2].substr(0, 100));
    EXPECT_EQ(first.state->scan(), 1);  // completed, served; the next partial one waits
    ASSERT_EQ(first.got, std::vector<std::string>{recs[1]});
    EXPECT_TRUE(first.state->save(42));
  }
  appendText(dir.file("scan/old.ms"), recs[2].substr(100));
  writeText(dir.file("scan/sub/b.ms"), recs[3] + std::string(512, 'x') + recs[4]);
  Scanner second(dir, true);
  ASSERT_TRUE(second.state->load());
  EXPECT_EQ(second.state->savedNextSeq(), 42u);
  EXPECT_EQ(second.state->scan(), 2);  // new files are read from their start
  EXPECT_EQ(second.got, (std::vector<std::string>{recs[2], recs[3]}));
  EXPECT_EQ(second.state->scan(), 0);
  removeFile(dir.file("scan/old.ms"));
  writeText(dir.file("scan/sub/b.ms"), recs[5]);  // shrank: a new file of that name
  EXPECT_EQ(second.state->scan(), 1);
  EXPECT_EQ(second.state->offsets().count("old.ms"), 0u);
}

TEST(RingScanTest, StateTextKeepsNamesInsideTheFolder) {
  std::map<std::string, long long> offsets;
  uint64_t next = 0;
  EXPECT_FALSE(ScanState::parse("512 a.ms\n", &offsets, &next));
  ASSERT_TRUE(ScanState::parse(
      "# ringservervh scan state\n# next 7\n512 a.ms\n1024 d/b.ms\n1 ../x\n2 /etc/passwd\n"
      "-5 c.ms\n99999999999999999999 e.ms\nnonsense\n",
      &offsets, &next));
  EXPECT_EQ(next, 7u);
  EXPECT_EQ(offsets, (std::map<std::string, long long>{{"a.ms", 512}, {"d/b.ms", 1024}}));
}

TEST(RingStoreTest, JournalKeepsRecordsAndSequenceAcrossRestart) {
  TempDir dir;
  const std::vector<std::string> recs = jsc();
  RecordHeader h;
  {
    RecordStore store(RING_SIZE_MIN);
    ASSERT_TRUE(store.open(dir.file("data"), 0));
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(readRecordHeader(reinterpret_cast<const uint8_t*>(recs[i].data()), 512, &h));
      store.add(reinterpret_cast<const uint8_t*>(recs[i].data()), h);
    }
  }
  appendText(dir.file("data/ring.journal"), "garbage");
  RecordStore again(RING_SIZE_MIN);
  ASSERT_TRUE(again.open(dir.file("data"), 4));  // the state saw records up to 3
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(again.nextSeq(), 4u);
  removeFile(dir.file("data/ring.journal"));
  RecordStore lost(RING_SIZE_MIN);
  ASSERT_TRUE(lost.open(dir.file("data"), 4));
  EXPECT_EQ(lost.nextSeq(), 4u);  // the numbering goes on
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again.at(2).data.data()), 512), recs[2]);
  EXPECT_EQ(again.at(0).header.station, "JSC");
}

class SeedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.open(dir.file("data"), 0));
    for (std::string r : jsc()) add(r);
  }
  void add(const std::string& record) {
    RecordHeader h;
    ASSERT_TRUE(readRecordHeader(reinterpret_cast<const uint8_t*>(record.data()), 512, &h));
    store.add(reinterpret_cast<const uint8_t*>(record.data()), h);
  }
  // Answers of lines, then whatever streams.
  std::string talk(SeedLinkSession& s, const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) EXPECT_TRUE(s.handleLine(l, &out)) << l;
    s.fill(&out, 1 << 20);
    return out;
  }
  TempDir dir;
  RecordStore store{RING_SIZE_MIN};
};

TEST_F(SeedLinkTest, SelectionAndResume) {
  SeedLinkSession all(store, "Test");
  std::string out = talk(all, {"STATION JSC CO", "SELECT 00HH?.D", "DATA 000003", "END"});
  ASSERT_EQ(out.substr(0, 8), "OK\r\nOK\r\n");
  out = out.substr(12);
  ASSERT_EQ(out.size(), 12 * PACKET);
  EXPECT_EQ(out.substr(0, 8), "SL000003");
  EXPECT_EQ(out.substr(11 * PACKET, 8), "SL00000E");
  EXPECT_EQ(out.substr(PACKET + 8, 512), jsc()[3]);

  for (const char* selector : {"--HHZ", "BHZ", "!HHZ"}) {
    SeedLinkSession none(store, "Test");
    EXPECT_EQ(
        talk(none, {"BATCH", "STATION J?C", "SELECT " + std::string(selector), "DATA 1", "END"}),
        "OK\r\n")
        << selector;
  }
  SeedLinkSession live(store, "Test");
  EXPECT_EQ(talk(live, {"DATA"}), "");  // uni-station: only records still to come
  add(jsc()[0]);
  std::string more;
  live.fill(&more, 1 << 20);
  EXPECT_EQ(more.substr(0, 8), "SL00000F");

  SeedLinkSession fetch(store, "Test");
  out = talk(fetch, {"STATION * CO", "FETCH 00000D", "END"});
  EXPECT_EQ(out.size(), 8 + 3 * PACKET + 3);  // two OKs, D E F, then END
  EXPECT_EQ(out.substr(out.size() - 3), "END");
}

TEST_F(SeedLinkTest, InfoIsWellFormedXmlInMiniseedRecords) {
  SeedLinkSession s(store, "Name & <Co>");
  const std::string out = talk(s, {"INFO STREAMS"});
  ASSERT_EQ(out.size() % PACKET, 0u);
  std::string xml;
  for (size_t at = 0; at < out.size(); at += PACKET) {
    const bool last = at + PACKET == out.size();
    EXPECT_EQ(out.substr(at, 8), last ? "SLINFO  " : "SLINFO *");
    RecordHeader h;
    ASSERT_TRUE(readRecordHeader(reinterpret_cast<const uint8_t*>(out.data() + at + 8), 512, &h));
    const auto* rec = reinterpret_cast<const uint8_t*>(out.data() + at + 8);
    xml += out.substr(at + 8 + 56, (rec[30] << 8) | rec[31]);
  }
  writeText(dir.file("info.xml"), xml);
  EXPECT_EQ(system(("xmllint --noout " + dir.file("info.xml")).c_str()), 0) << xml;
  EXPECT_NE(xml.find("organization=\"Name &amp; &lt;Co&gt;\""), std::string::npos);
  EXPECT_NE(xml.find("<stream location=\"00\" seedname=\"HHZ\""), std::string::npos);
}

TEST_F(SeedLinkTest, HostileLinesAnsweredOrDropped) {
  SeedLinkSession s(store, "Test");
  std::string out;
  for (const char* line : {"SELECT 0", "SELECT !!HHZ", "STATION TOOLONG", "DATA zz", "DATA 1 2020",
                           "TIME 2020,13,1,0,0,0", "INFO NOTHING", "FOO", "END", "SELECT ?????.D.X",
                           "DATA 1 2 3 4 5 6 7 8 9"}) {
    out.clear();
    EXPECT_TRUE(s.handleLine(line, &out)) << line;
    EXPECT_EQ(out, "ERROR\r\n") << line;
  }
  EXPECT_FALSE(s.handleLine(std::string(SL_LINE_MAX + 1, 'A'), &out));
  for (int i = 0; i < 20; ++i) s.handleLine("X", &out);  // errors without end drop the client
  EXPECT_FALSE(s.handleLine("X", &out));
  EXPECT_TRUE(wildMatch("*A*B*C*", "xxAyyBzzC"));
  EXPECT_FALSE(wildMatch("*A*B*C*D", std::string(200, 'A') + "BC"));
}

// DataLink messages split back into (header, data) pairs.
std::vector<std::pair<std::string, std::string>> dlMessages(std::string bytes) {
  std::vector<std::pair<std::string, std::string>> out;
  while (bytes.size() >= 3 && bytes.compare(0, 2, "DL") == 0) {
    const size_t h = static_cast<uint8_t>(bytes[2]);
    const std::string header = bytes.substr(3, h);
    const size_t blank = header.rfind(' ');
    const bool sized = header.compare(0, 3, "OK ") == 0 || header.compare(0, 6, "ERROR ") == 0 ||
                       header.compare(0, 7, "PACKET ") == 0 || header.compare(0, 5, "INFO ") == 0;
    const size_t size = sized ? std::stoul(header.substr(blank + 1)) : 0;
    out.emplace_back(header, bytes.substr(3 + h, size));
    bytes.erase(0, 3 + h + size);
  }
  EXPECT_EQ(bytes, "");
  return out;
}

TEST_F(SeedLinkTest, DataLinkReaderPositionsMatchesReadsAndStreams) {
  DataLinkSession s(store, "Test");
  std::string out;
  const std::string in = dataLinkMessage("ID test") + dataLinkMessage("POSITION SET 5") +
                         dataLinkMessage("MATCH 6", "^CO_J.") + dataLinkMessage("READ 14") +
                         dataLinkMessage("READ 15") + dataLinkMessage("WRITE 3", "abc") +
                         dataLinkMessage("STREAM");
  // Bytes may arrive in any pieces.
  for (size_t at = 0; at < in.size(); at += 7)
    ASSERT_TRUE(s.receive(&in[at], std::min<size_t>(7, in.size() - at), &out));
  ASSERT_TRUE(s.fill(&out, 1 << 20));
  ASSERT_TRUE(s.receive(dataLinkMessage("ENDSTREAM").data(), 12, &out));
  auto m = dlMessages(out);
  ASSERT_EQ(m.size(), 6u + 10u + 1u);
  EXPECT_EQ(m[0].first.substr(0, 12), "ID DataLink ");
  EXPECT_EQ(m[1].first, "OK 5 10");
  EXPECT_EQ(m[2].first.substr(0, 5), "OK 0 ");
  EXPECT_EQ(m[3].first.substr(0, 33), "PACKET CO_JSC_00_HHZ/MSEED 14 147");
  EXPECT_EQ(m[3].second, jsc()[13]);
  EXPECT_EQ(m[4].first.substr(0, 6), "ERROR ");  // no packet 15 yet
  EXPECT_EQ(m[5].first.substr(0, 6), "ERROR ");  // the ring is filled from the scan only
  EXPECT_EQ(m[6].first.substr(0, 29), "PACKET CO_JSC_00_HHZ/MSEED 5 ");
  EXPECT_EQ(m[16].first, "ENDSTREAM");

  DataLinkSession other(store, "Test");
  out.clear();
  ASSERT_TRUE(other.receive(dataLinkMessage("REJECT 5", "^CO_.").data(), 16, &out));
  ASSERT_TRUE(other.receive(dataLinkMessage("POSITION SET EARLIEST").data(), 24, &out));
  ASSERT_TRUE(other.receive(dataLinkMessage("STREAM").data(), 9, &out));
  ASSERT_TRUE(other.fill(&out, 1 << 20));
  EXPECT_EQ(dlMessages(out).size(), 2u);  // rejected: only the two answers
  for (const std::string& bad : {std::string("XX\3abc"), dataLinkMessage("MATCH 99999")}) {
    DataLinkSession closed(store, "Test");
    EXPECT_FALSE(closed.receive(bad.data(), bad.size(), &out));
  }
}

int connectLoopback(int port, int receiveBuffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

void sendText(int fd, const std::string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

// Reads until the peer closes (true) or bound passes (false); bytes in *got.
bool readUntilClosed(int fd, std::chrono::milliseconds bound, std::string* got) {
  const auto end = std::chrono::steady_clock::now() + bound;
  char buffer[65536];
  while (std::chrono::steady_clock::now() < end) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return true;
    if (n > 0) got->append(buffer, static_cast<size_t>(n));
  }
  return false;
}

// A server running in its own thread on the ports of conf text.
struct ServerRun {
  explicit ServerRun(const TempDir& dir, const std::string& text) {
    writeText(dir.file("ring.conf"), text + "RingDirectory " + dir.file("data") +
                                         "\nTransferLogDirectory " + dir.file("log") +
                                         "\nMSeedScan " + dir.file("scan") + "\n");
    mkdirs(dir.file("scan"), true);
    EXPECT_TRUE(conf.read(dir.file("ring.conf")));
    server = std::make_unique<RingServer>(conf);
    EXPECT_TRUE(server->start());
    serving = std::thread([this] { server->run(stop); });
  }
  ~ServerRun() {
    stop = true;
    serving.join();
  }
  RingConf conf;
  std::unique_ptr<RingServer> server;
  std::atomic<bool> stop{false};
  std::thread serving;
};

// A client that stops reading, one that sends garbage without a line end and
// clients beyond the limit do not keep another client from its records.
TEST(RingServerTest, HostileClientsDoNotDisturbOthers) {
  TempDir dir;
  const int port = freeTcpPort();
  auto run =
      std::make_unique<ServerRun>(dir, "SeedLinkPort " + std::to_string(port) + "\nMaxClients 4\n");

  const int staller = connectLoopback(port, 4096);
  const int garbage = connectLoopback(port);
  const int reader = connectLoopback(port);
  const int fourth = connectLoopback(port);
  sendText(staller, "DATA\r\n");
  sendText(reader, "DATA\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both are streaming now
  const int refused = connectLoopback(port);
  std::string ignored;
  EXPECT_TRUE(readUntilClosed(refused, std::chrono::seconds(5), &ignored));
  sendText(garbage, std::string(SL_LINE_MAX + 10, 'A'));
  EXPECT_TRUE(readUntilClosed(garbage, std::chrono::seconds(5), &ignored));

  constexpr size_t FILES = 40, PER_FILE = 100;  // 2 MB: more than the staller's buffers take
  std::string block;
  for (size_t i = 0; i < PER_FILE; ++i) block += jsc()[i % 14];
  for (size_t f = 0; f < FILES; ++f)
    writeText(dir.file("scan/" + std::to_string(f) + ".ms"), block);
  size_t got = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char buffer[65536];
  while (got < FILES * PER_FILE * PACKET && std::chrono::steady_clock::now() < end) {
    const ssize_t n = recv(reader, buffer, sizeof buffer, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  EXPECT_EQ(got, FILES * PER_FILE * PACKET);
  run.reset();
  for (int fd : {staller, garbage, reader, fourth, refused}) close(fd);
  EXPECT_NE(readText(dir.file("log/") + listDir(dir.file("log")).at(0)).find(" dropped"),
            std::string::npos);
}

// The upgrade request for path, naming subprotocol unless it is empty.
std::string upgradeRequest(const std::string& path, const std::string& subprotocol) {
  return "GET " + path +
         " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         (subprotocol.empty() ? "" : "Sec-WebSocket-Protocol: " + subprotocol + "\r\n") + "\r\n";
}

// One masked client frame (FIN set) of fewer than 64 KiB.
void sendFrame(int fd, const std::string& payload, uint8_t opcode) {
  const uint8_t mask[4] = {0x12, 0x34, 0x56, 0x78};
  std::string frame{static_cast<char>(0x80 | opcode)};
  if (payload.size() < 126) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += {static_cast<char>(0x80 | 126), static_cast<char>(payload.size() >> 8),
              static_cast<char>(payload.size() & 0xff)};
  }
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  sendText(fd, frame);
}

// Reads into *buffered until it holds n bytes; false when the peer closed or
// 5 s passed.
bool readTo(int fd, std::string* buffered, size_t n) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char chunk[65536];
  while (buffered->size() < n && std::chrono::steady_clock::now() < end) {
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got == 0) return false;
    if (got > 0) buffered->append(chunk, static_cast<size_t>(got));
  }
  return buffered->size() >= n;
}

// The answer head of an upgrade request; the rest stays in *buffered.
std::string readHead(int fd, std::string* buffered) {
  while (buffered->find("\r\n\r\n") == std::string::npos &&
         readTo(fd, buffered, buffered->size() + 1)) {
  }
  const size_t end = std::min(buffered->find("\r\n\r\n"), buffered->size());
  const std::string head = buffered->substr(0, end);
  buffered->erase(0, end + 4);
  return head;
}

// The payload of the next server frame, which must be one whole binary
// message of fewer than 64 KiB; "" when none comes.
std::string readMessage(int fd, std::string* buffered) {
  if (!readTo(fd, buffered, 2)) return "";
  EXPECT_EQ(static_cast<uint8_t>((*buffered)[0]), 0x82);  // FIN, binary
  size_t length = static_cast<uint8_t>((*buffered)[1]), at = 2;
  if (length == 126) {
    if (!readTo(fd, buffered, 4)) return "";
    length = static_cast<size_t>(static_cast<uint8_t>((*buffered)[2]) << 8 |
                                 static_cast<uint8_t>((*buffered)[3]));
    at = 4;
  }
  EXPECT_LT(length, 127u + 65536u);
  if (!readTo(fd, buffered, at + length)) return "";
  const std::string payload = buffered->substr(at, length);
  buffered->erase(0, at + length);
  return payload;
}

// Browsers' way in: an HTTP upgrade on the protocol's path. Each answer and
// each packet comes as one binary message; other paths and subprotocols get
// HTTP errors, and the ports still serve their plain protocols.
TEST(RingServerTest, WebSocketUpgradeServesSeedLinkAndDataLink) {
  TempDir dir;
  const int port = freeTcpPort(), dataLinkPort = freeTcpPort();
  ServerRun run(dir, "SeedLinkPort " + std::to_string(port) + "\nDataLinkPort " +
                         std::to_string(dataLinkPort) + "\n");
  for (const auto& [path, subprotocol, status] :
       {std::tuple<const char*, const char*, const char*>{"/datalink", "", "404"},
        {"/seedlink", "chat, superchat", "400"},
        {"/", "SeedLink3.1", "404"},
        {"/ x", "", "400"}}) {  // a malformed request line
    const int bad = connectLoopback(port);
    sendText(bad, upgradeRequest(path, subprotocol));
    std::string answer;
    EXPECT_TRUE(readUntilClosed(bad, std::chrono::seconds(5), &answer)) << path;
    EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + status) << path;
    close(bad);
  }

  const int ws = connectLoopback(port);
  std::string buffered;
  sendText(ws, upgradeRequest("/seedlink", "SeedLink3.1"));
  const std::string head = readHead(ws, &buffered);
  EXPECT_EQ(head.substr(0, 12), "HTTP/1.1 101") << head;
  EXPECT_NE(head.find("Sec-WebSocket-Protocol: SeedLink3.1"), std::string::npos) << head;
  sendFrame(ws, "HELLO", 1);  // a message holds whole lines: no line end needed
  EXPECT_EQ(readMessage(ws, &buffered).substr(0, 13), "SeedLink v3.1");
  sendFrame(ws, "STATION JSC CO\r\nDATA\r\nEND\r\n", 2);
  EXPECT_EQ(readMessage(ws, &buffered), "OK\r\n");
  EXPECT_EQ(readMessage(ws, &buffered), "OK\r\n");
  const std::vector<std::string> recs = jsc();
  std::string block;
  for (const std::string& r : recs) block += r;
  writeText(dir.file("scan/a.ms"), block);
  for (size_t i = 0; i < recs.size(); ++i) {
    const std::string packet = readMessage(ws, &buffered);
    ASSERT_EQ(packet.size(), PACKET) << i;
    EXPECT_EQ(packet.substr(0, 8), sformat("SL%06zX", i + 1));
    EXPECT_EQ(packet.substr(8), recs[i]);
  }
  close(ws);

  const int dl = connectLoopback(dataLinkPort);
  buffered.clear();
  sendText(dl, upgradeRequest("/datalink", ""));
  EXPECT_EQ(readHead(dl, &buffered).find("Sec-WebSocket-Protocol"), std::string::npos);
  sendFrame(dl, dataLinkMessage("ID test") + dataLinkMessage("READ 4"), 2);
  EXPECT_EQ(readMessage(dl, &buffered).substr(3, 12), "ID DataLink ");
  EXPECT_EQ(dlMessages(readMessage(dl, &buffered)).at(0).second, recs[3]);
  close(dl);

  const int plain = connectLoopback(port);
  sendText(plain, "GET\r\n");  // not HTTP: an unknown SeedLink command
  std::string answer;
  EXPECT_TRUE(readTo(plain, &answer, 7));
  EXPECT_EQ(answer, "ERROR\r\n");
  close(plain);
}

}  // namespace
