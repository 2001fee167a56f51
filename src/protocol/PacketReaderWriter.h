// Frames in and out of one instrument link.
//
// Reading: the reader finds the sync byte after any garbage, reads the
// 17-byte header and the payload with its check word out of the link's
// receive ring (IO), and validates the station id, the payload limit and the
// check word. Every wait is bounded: at most about 2 s for a frame to begin
// (woken by the link as soon as its bytes arrive),
// 20 sync-search passes of 30 ms, and at most READ_TAKE_WAIT_MAX_US for each
// read of header or payload bytes. Once the link is dead (end of stream or a
// hard error) no more bytes can come, so the reader stops waiting at once.
// While it waits, the reader calls its wait hook at least every
// READ_HOOK_SLICE_US: the session serves its keep-alive there, and a hook
// that returns false (a stop request) ends the read at once (READ_STOPPED).
//
// Writing: a frame is stamped with the hub's id (ownId) and the peer's id
// (the source of the last good frame), assembled in a buffer held by the
// object and handed to the link in one write. Sent and received byte counts
// are appended once per hour of traffic to the CSV file
// "<log dir>sendreceive.YYYYMM.<station>.csv".
//
// Not shared: each session owns one PacketReaderWriter and uses it from its
// own thread only. The link's read loop fills the receive ring; the ring's
// single-producer single-consumer indices make the consumer side safe without
// a lock.
#ifndef VH_PROTOCOL_PACKETREADERWRITER_H_
#define VH_PROTOCOL_PACKETREADERWRITER_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "protocol/SelvomaPacket.h"

class IO;
class Log;

constexpr long READ_WAIT_MAX_US = 1999999;        // read(): longest wait for a frame to begin
constexpr int READ_WAIT_ENOUGH = 16;              // read(): more bytes than this end the wait
constexpr int SYNC_SEARCH_PASSES = 20;            // readHead(): passes looking for the sync byte
constexpr long SYNC_SEARCH_SLEEP_US = 30007;      // readHead(): sleep between those passes
constexpr int HEAD_READ_ATTEMPTS = 4;             // readHead(): reads before the last try
constexpr long HEAD_LAST_TRY_SLEEP_US = 400000;   // readHead(): pause before the last try
constexpr long READ_TAKE_WAIT_MAX_US = 2830000;   // one header or payload read: what IO::read waits
constexpr long READ_HOOK_SLICE_US = 100000;       // longest wait between two calls of the wait hook
constexpr uint32_t CFUN_STATION_ID = 0x6E756663;  // "cfun": a modem's AT reply read as an id
constexpr size_t LAST_SETTING_MAX = 31;           // characters of lastSetting
constexpr int SETTING_COMMAND_MIN = 3;            // COMMAND payloads that may set lastSetting
constexpr int SETTING_COMMAND_MAX = 31;
constexpr int LOG_EVERY_NTH_SEND = 50;  // at verbosity 0 every 50th write is not summarised
constexpr size_t RW_TEXT_MAX = 599;     // characters of a log line or file name

class PacketReaderWriter {
 public:
  // Results of read().
  static constexpr int READ_FAILED = 0;
  static constexpr int READ_PACKET = 1;
  static constexpr int READ_NOTHING = 2;
  static constexpr int READ_STOPPED = 3;  // the wait hook ended the read; its bytes are dropped

  // Counters 0, no link, no log.
  PacketReaderWriter();
  PacketReaderWriter(const PacketReaderWriter&) = delete;
  PacketReaderWriter& operator=(const PacketReaderWriter&) = delete;
  virtual ~PacketReaderWriter() = default;

  // Attaches the link and its log; both are not owned and must outlive this
  // object (or the next init). A null io logs "NULL io in
  // PacketReaderWriter.init()". The log may be null.
  void init(uint32_t ownId, IO* io, Log* log);

  // Called while a read waits (see above); false ends the read. Runs on the
  // reading thread, which it may use to write frames (write()).
  void setWaitHook(std::function<bool()> hook) { waitHook_ = std::move(hook); }

  // Reads one frame into packet. Returns READ_PACKET, READ_NOTHING (nothing
  // waiting and wait false), READ_STOPPED (the wait hook said stop) or
  // READ_FAILED. On a failed header or payload
  // read of a live link the link's buffered bytes are dropped and the
  // packet's type becomes BAD_PACKET; on a dead link (available() < 0)
  // nothing is cleared; on a bad check word the packet keeps its type.
  int read(SelvomaPacket* packet, bool wait);
  // Finds the sync byte and reads and checks the header. False on a short
  // read, a link error or a station id outside STATION_ID_MIN..MAX.
  bool readHead(SelvomaPacket* packet);
  // Reads the payload announced by the last readHead and the check word.
  // False on a short read or a length above LINK_PAYLOAD_MAX.
  bool readPayload(SelvomaPacket* packet);

  // Stamps packet (sourceId = ownId, destId = peer id), stores its check
  // word and writes the whole frame in one call. False without a link, for a
  // payload above LINK_PAYLOAD_MAX (nothing written) or when the link took
  // fewer bytes.
  bool write(SelvomaPacket* packet);
  // A payload-less frame: ACK, NACK, LINK_INIT.
  bool write(uint8_t type, uint32_t destId, uint8_t seqNo);
  bool writeIdentify(uint32_t destId);
  // Logs "disconnect" and closes the link, when there is one.
  void disconnect();

  // Appends "YYYY-MM-DD HH:00,station,link,bytesSent,bytesReceived" for the
  // hour of tm and restarts the byte counts; nothing when no byte was sent.
  void writeSendReceiveLog(const struct tm& tm);
  // Remembers the key of an outgoing setting query ("? key") or assignment
  // ("key=value"); "dummy..." forgets it. COMMANDs of 3..31 bytes only.
  void setLastSetting(const SelvomaPacket& packet);

  int getSentCount() const { return sentCount_; }
  int getReceivedCount() const { return receivedCount_; }
  uint32_t getPeerId() const { return peerId_; }
  uint32_t getBytesSent() const { return bytesSent_; }
  uint32_t getBytesReceived() const { return bytesReceived_; }
  const std::string& getLastSetting() const { return lastSetting_; }
  int getLastReadResult() const { return lastReadResult_; }

  // Replaces the wall clock used for the hourly send/receive lines.
  void TEST_setClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

 private:
  // True when the link is dead and holds fewer than needed bytes: waiting
  // cannot help.
  bool exhausted(int needed) const;
  // Up to count bytes from the link: a bounded waiting read on a live link,
  // what is left without waiting on an exhausted one. A read the wait hook
  // ends sets stopped_.
  int take(uint8_t* bytes, int count);
  // Sleeps microseconds in slices, calling the wait hook before each; false
  // (and stopped_) when the hook ends the wait.
  bool pause(long microseconds);
  // The wait hook's answer; false also sets stopped_.
  bool keepWaiting();
  // Skips to the next sync byte. Returns the pass counter.
  int findSync();
  void logLine(const std::string& text);
  std::string csvPath(const struct tm& tm) const;

  IO* io_ = nullptr;    // not owned
  Log* log_ = nullptr;  // not owned, may be null
  uint32_t ownId_ = 0;
  uint32_t peerId_ = 0;  // source of the last frame with a good check word
  int sentCount_ = 0;
  int receivedCount_ = 0;
  uint32_t bytesSent_ = 0;      // since the last CSV line
  uint32_t bytesReceived_ = 0;  // since the last CSV line
  time_t lastWriteTime_ = 0;
  std::string lastSetting_;
  int lastReadResult_ = 0;  // bytes of the last payload read
  int headPayloadLen_ = 0;  // payload length announced by the last header read
  std::array<uint8_t, LINK_PAYLOAD_MAX + SELVOMA_CHECK_LENGTH> receiveBuffer_{};
  std::array<uint8_t, LINK_PAYLOAD_MAX + SELVOMA_OVERHEAD> sendBuffer_{};
  std::function<time_t()> clock_;
  std::function<bool()> waitHook_;  // may be empty
  bool stopped_ = false;            // the wait hook ended the current read
};

#endif  // VH_PROTOCOL_PACKETREADERWRITER_H_
