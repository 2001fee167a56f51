// One simulated Dremo instrument: the instrument end of the Selvoma protocol
// on one link, with a synthetic seismogram, a memory card and settings.
//
// Protocol, as an instrument plays it:
//  - the hub opens with IDENTIFY; the instrument answers IDENTIFY (or, with
//    identify off, starts streaming at once); the hub's LINK_INIT is answered
//    with LINK_INIT, and data streaming starts;
//  - every frame the instrument originates (MINISEED, TRIGGER, COMMAND,
//    FILE_PART, RESPONSE_FILE_NAME) carries the next 8-bit sequence number,
//    wrapping 255 -> 0;
//  - an ACK acknowledges the data frames up to its sequence number; a NACK
//    re-sends the data from the frame it names on; "stream N" re-sends the
//    last N seconds of data; "sleep N" pauses data for N seconds; a frame
//    from the hub with a bad check word is answered with a NACK;
//  - setting queries (? "key") are answered "key"=value from the settings, or
//    nil; "key=value" sets a value; "del PATH" deletes a card file; other
//    commands are acknowledged;
//  - an upload from the hub (START_SEND_FILE, numbered FILE_PARTs, an end
//    part without data) is acknowledged frame by frame and answered at its
//    end with "rx status: 0" when size and CRC-32 match (the file is then on
//    the card) or "rx status: 1" when they do not; FILE_PARTs of a file the
//    instrument asked for (part 0 "INFO:...") are taken the same way and
//    logged; a FLASH block is answered "flash_write <index> ok" (or "bad"
//    when its check does not match);
//  - REQUEST_FILE is answered with FILE_PART pieces numbered from 1 and an
//    end piece without data (part 0 with the text "no file" when the file is
//    missing); REQUEST_FILE_TIME with RESPONSE_FILE_NAME naming the minute
//    file ("null" when it is not on the card, "no sd card" without a card).
//
// Data: the first records start at now minus the backlog; a record is made
// when the data clock passes its end. The data clock starts at now and runs
// at the chosen speed, so the backlog goes out at once and real time follows
// (in fast mode records are made as fast as the link takes them). Every record made is also
// appended to the card. Records not yet sent wait in a queue of at most UNSENT_MAX records (the
// oldest are dropped; they stay on the card).
//
// Threads: start() starts the instrument's own thread ("sim-<station>"),
// which alone touches the link, card, settings, recorders and queues. Other
// threads may call post(), requestStop(), the counters and the getters
// marked so. The thread is joined by join() or the destructor; it throws
// nothing out (a failure ends the instrument with a log line).
#ifndef VH_TOOLS_DREMOSIM_INSTRUMENT_H_
#define VH_TOOLS_DREMOSIM_INSTRUMENT_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Card.h"
#include "Control.h"
#include "FrameDecoder.h"
#include "SendTimes.h"
#include "SimLink.h"
#include "SimSettings.h"
#include "Waveform.h"

constexpr size_t UNSENT_MAX = 20000;        // records waiting to be sent
constexpr size_t RECENT_MAX = 4096;         // sent records kept for re-sending
constexpr size_t AFAP_QUEUE_LOW = 64;       // fast mode: records made ahead of the link
constexpr int SEND_BATCH = 64;              // data frames sent per turn
constexpr int POLL_MS = 20;                 // longest wait for input in one turn
constexpr int PRODUCE_BATCH = 256;          // records made per turn
constexpr int DEFAULT_BUILD_NUMBER = 4700;  // build number of the default settings
constexpr int DEFAULT_RECONNECT_S = 5;      // pause before reconnecting
constexpr char NO_FILE_TEXT[] = "no file";  // data of the part-0 piece
constexpr char NO_CARD_TEXT[] = "no sd card";
constexpr char NULL_NAME_TEXT[] = "null";

struct InstrumentConfig {
  uint32_t stationId = STATION_ID_MIN;
  std::string station = "SIM";
  std::string network = "XX";
  std::string location = "00";
  std::vector<std::string> channels{"HHZ", "HHN", "HHE"};
  int sampleRate = 100;
  int buildNumber = DEFAULT_BUILD_NUMBER;
  bool buildGiven = false;  // the build number overrides the settings file
  bool usePty = false;
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  double speed = 1.0;  // data seconds per wall second
  bool asFastAsPossible = false;
  long records = 0;                            // records to stream, 0 = no limit
  double backlogSeconds = 0;                   // data starts this long before now
  double prefillSeconds = 0;                   // recorded on the card only, before the backlog
  std::string cardDir;                         // empty: no card
  std::string settingsPath;                    // empty: built-in default
  int reconnectSeconds = DEFAULT_RECONNECT_S;  // 0: end when the link ends
  bool identify = true;                        // false: stream without waiting for IDENTIFY
  bool verbose = false;                        // every frame to stderr
  SendTimes* sendTimes = nullptr;              // --send-times: notes first sends; not owned
};

class Instrument {
 public:
  explicit Instrument(InstrumentConfig config);
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;
  ~Instrument();  // stops and joins the thread

  // Prepares settings, card and recorders, opens the pseudo-terminal in pty
  // mode, and starts the thread. False with the reason in error (no thread).
  bool start(std::string* error);
  // Asks the thread to end in order; any thread.
  void requestStop() { stop_.store(true, std::memory_order_relaxed); }
  // Waits for the thread; call after requestStop.
  void join();
  // Any thread: queues a control command for the instrument thread.
  void post(const ControlCommand& command);

  // Any thread: true once the thread has ended.
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // Slave path of the pseudo-terminal; set by start(), constant after.
  const std::string& ptyPath() const { return ptyPath_; }
  const InstrumentConfig& config() const { return config_; }

  // Counters, any thread.
  uint64_t framesSent() const { return framesSent_.load(); }
  uint64_t acks() const { return acks_.load(); }
  uint64_t nacks() const { return nacks_.load(); }
  uint64_t commands() const { return commands_.load(); }
  uint64_t requests() const { return requests_.load(); }
  uint64_t resent() const { return resent_.load(); }
  uint64_t badFrames() const { return badFrames_.load(); }
  uint64_t recordsMade() const { return recordsMade_.load(); }
  bool streaming() const { return streaming_.load(); }
  // "summary STA id=01000001 frames=.. acks=.. nacks=.. commands=.. requests=..
  // resent=.. bad=.. records=..".
  std::string summaryLine() const;

 private:
  enum LinkState { WAIT_IDENTIFY, WAIT_LINK_INIT, STREAMING };
  struct SentRecord {
    uint8_t seqNo;
    bool acked;
    hptime_t end;
    Miniseed::Record record;
  };

  void run();
  void runLoop();
  bool openLink();
  void resetSession();
  // One turn: commands, production, input, sending. False when the link ended.
  bool turn();
  void handleControl();
  void handleFrame(const SelvomaPacket& packet, FrameDecoder::Result result);
  void handleCommand(const std::string& text, uint8_t seqNo);
  void serveFile(const std::string& path);
  // START_SEND_FILE, FILE_PART and FLASH from the hub.
  void takeUploadStart(const SelvomaPacket& packet);
  void takeUploadPart(const SelvomaPacket& packet);
  void takeFlashBlock(const SelvomaPacket& packet);
  void answerFileTime(const std::string& text);
  bool sendPending();
  void produce();
  // Takes the record with the earliest end; end gets its end time.
  Miniseed::Record takeRecord(hptime_t* end, hptime_t* start);
  hptime_t earliestEnd();
  hptime_t dataNow() const;
  void noteAck(uint8_t seqNo);
  void resendFrom(uint8_t seqNo);
  void resendLast(int seconds);

  // Writing. writeFrame stamps source and destination ids and the check word.
  bool writeFrame(SelvomaPacket* packet, uint32_t sourceId);
  bool writeControl(uint8_t type, uint8_t seqNo);
  bool writeOriginated(uint8_t type, const uint8_t* bytes, int length);
  bool writeText(uint8_t type, const std::string& text);
  uint8_t nextSeq();
  void writeCardFiles();

  void logLine(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  const InstrumentConfig config_;
  std::string ptyPath_;  // constant after start()
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> streaming_{false};

  std::mutex postMu_;
  std::deque<ControlCommand> posted_;  // guarded by postMu_

  std::atomic<uint64_t> framesSent_{0}, acks_{0}, nacks_{0}, commands_{0}, requests_{0}, resent_{0},
      badFrames_{0}, recordsMade_{0};

  // Instrument thread only (and start() before the thread exists).
  SimLink link_;
  FrameDecoder decoder_;
  std::unique_ptr<SimSettings> settings_;
  std::unique_ptr<Card> card_;
  std::vector<std::unique_ptr<ChannelRecorder>> recorders_;
  LinkState state_ = WAIT_IDENTIFY;
  uint32_t hubId_ = 0;  // source of the last good frame from the hub
  uint8_t seq_ = 0;     // sequence number of the next originated frame
  bool badCheckNext_ = false;
  bool disconnectNow_ = false;
  int64_t sleepUntilMs_ = 0;   // steady ms: data paused until then
  int64_t silentUntilMs_ = 0;  // steady ms: neither send nor answer until then
  int64_t steadyStartMs_ = 0;
  hptime_t clockStart_ = 0;  // data clock at steadyStartMs_: the wall clock then
  long produced_ = 0;        // records made for streaming
  std::deque<Miniseed::Record> unsent_;
  std::deque<Miniseed::Record> resend_;
  std::deque<SentRecord> recent_;
  std::mt19937 garbageRng_;
  // The file the hub is sending: announced size, CRC-32 and name (empty
  // name: parts of a file this instrument asked for), and the data so far.
  struct Incoming {
    bool active = false;
    uint32_t size = 0;
    uint32_t crc = 0;
    std::string name;
    std::vector<uint8_t> data;
  };
  Incoming incoming_;
};

#endif  // VH_TOOLS_DREMOSIM_INSTRUMENT_H_
