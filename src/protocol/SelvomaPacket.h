// One frame of the Selvoma protocol spoken by Dremo instruments on every link.
//
// Wire layout (all multi-byte fields little-endian, no padding):
//
//   offset width field
//        0     1 sync, always SELVOMA_SYNC (0x55, "U")
//        1     1 type, the message type code (SelvomaPacket::ACK, ...)
//        2     2 payloadLen, bytes of payload after the header
//        4     4 sourceId, id of the sender
//        8     4 destId, id of the addressee
//       12     4 time, sender's clock in selTime (Unix time - SEL_TIME_OFFSET)
//       16     1 seqNo, 0..255, wraps in both directions
//       17     n payload, type-dependent
//     17+n     4 xor32, the check word over bytes 0 .. 16+n
//
// The check word: v = 0; for every byte b of header and payload in order,
// v = rotate-right(v XOR b, 8).
//
// A SelvomaPacket owns its payload. Its payload length never exceeds
// BIGGEST_PAYLOAD: an operation asked for more leaves the packet without
// payload. Links carry at most LINK_PAYLOAD_MAX payload bytes (enforced by
// PacketReaderWriter). Payload readers never read beyond the payload.
//
// Not shared: a packet belongs to one thread at a time (the session that read
// it or the list that queued it); whoever takes it off a list owns it.
#ifndef VH_PROTOCOL_SELVOMAPACKET_H_
#define VH_PROTOCOL_SELVOMAPACKET_H_

#include <libmseed.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

constexpr uint8_t SELVOMA_SYNC = 0x55;        // first byte of every frame
constexpr size_t SELVOMA_HEADER_LENGTH = 17;  // fixed header, sync through seqNo
constexpr size_t SELVOMA_CHECK_LENGTH = 4;    // the xor32 check word after the payload
constexpr size_t SELVOMA_OVERHEAD = SELVOMA_HEADER_LENGTH + SELVOMA_CHECK_LENGTH;  // 21
constexpr size_t LINK_PAYLOAD_MAX = 2099;        // largest payload read from or written to a link
constexpr uint32_t STATION_ID_MIN = 0x01000000;  // instrument station ids, inclusive
constexpr uint32_t STATION_ID_MAX = 0x03FFFFFF;
constexpr time_t SEL_TIME_OFFSET = 946684800;     // Unix time of 2000-01-01 00:00:00 UTC
constexpr size_t SELVOMA_TEXT_MAX = 349;          // characters of a log summary
constexpr size_t START_SEND_FILE_TEXT_MAX = 199;  // characters of textStartSendFilePayload
constexpr size_t FILE_PART_INDEX_LENGTH = 2;      // u16 part number before the file data
constexpr size_t FILE_PART_MAX_DATA = 1024;       // data bytes a FilePart keeps
constexpr size_t FILE_PART_MISSING_MAX_DATA =
    9;                                       // part 0 with at most this many bytes: no such file
constexpr size_t START_SEND_FILE_FIXED = 8;  // i32 size and u32 check before the file name
constexpr size_t SEL_TRIGGER_LENGTH = 12;    // bytes of a SelTrigger on the wire
constexpr size_t FLASH_BLOCK_FIXED = 8;      // u32 block index and u32 block check

// The trigger report carried by a TRIGGER frame.
struct SelTrigger {
  static constexpr uint8_t ALARM_UNKNOWN = 16;  // alarm type of a cleared record

  int32_t time = 0;           // selTime seconds
  uint32_t usec = 0;          // microseconds
  uint8_t channelMask = 0;    // bit per channel
  uint8_t spare[2] = {0, 0};  // bytes 9-10, not interpreted
  uint8_t alarmType = ALARM_UNKNOWN;

  // Back to a cleared record (alarm type ALARM_UNKNOWN).
  void clear() { *this = SelTrigger(); }
  // The SEL_TRIGGER_LENGTH wire bytes of the record.
  void toBytes(uint8_t* out) const;
  void fromBytes(const uint8_t* in);
};

// Name of an alarm type: "HIGH TEMPERATURE" .. "15", "UNKNOWN" for 16 and above.
const char* alarmName(int alarmType);

// The payload of a FILE_PART frame.
struct FilePart {
  uint16_t partNumber = 0;    // from 1; 0 with few bytes means "no such file"
  std::vector<uint8_t> data;  // at most FILE_PART_MAX_DATA bytes
};

class SelvomaPacket {
 public:
  // Message types.
  static constexpr uint8_t TRIGGER = 0x81;
  static constexpr uint8_t REQUEST_FILE_TIME = 0x84;
  static constexpr uint8_t RESPONSE_FILE_NAME = 0x85;
  static constexpr uint8_t REQUEST_FILE = 0x86;
  static constexpr uint8_t FILE_PART = 0x87;
  static constexpr uint8_t MINISEED = 0x88;
  static constexpr uint8_t START_SEND_FILE = 0x89;
  static constexpr uint8_t COMMAND = 0x8A;
  static constexpr uint8_t FLASH = 0x8B;
  static constexpr uint8_t BAD_PACKET = 0xAA;
  static constexpr uint8_t IDENTIFY = 0xFB;
  static constexpr uint8_t IDENT_NL = 0xFC;
  static constexpr uint8_t LINK_INIT = 0xFD;
  static constexpr uint8_t NACK = 0xFE;
  static constexpr uint8_t ACK = 0xFF;

  static constexpr int BIGGEST_PAYLOAD = 10000;  // largest payload a packet holds

  // Sync 0x55, ids 0, seqNo 0, no payload, check word 0, time now.
  SelvomaPacket();
  SelvomaPacket(const SelvomaPacket& other) = default;  // deep copy of the payload
  SelvomaPacket& operator=(const SelvomaPacket& other) = default;
  virtual ~SelvomaPacket() = default;

  // Header fields as on the wire.
  uint8_t sync = SELVOMA_SYNC;
  uint8_t type = 0;
  uint32_t sourceId = 0;
  uint32_t destId = 0;
  uint32_t time = 0;  // selTime
  uint8_t seqNo = 0;
  uint32_t xor32 = 0;  // as received, or as computed when written
  bool local = false;  // dispatched inside the hub instead of sent; never on the wire

  // Drops the payload and sets the header: sync, the given fields, time now.
  void make(uint8_t type, uint32_t sourceId, uint32_t destId, uint8_t seqNo);
  // The same with a payload copied from text (no terminator).
  void make(uint8_t type, uint32_t sourceId, uint32_t destId, uint8_t seqNo,
            const std::string& text);
  // The same with n payload bytes.
  void make(uint8_t type, uint32_t sourceId, uint32_t destId, uint8_t seqNo, const uint8_t* bytes,
            int n);

  // Replaces the payload with n zero bytes (plus a spare terminator). n <= 0
  // or n > BIGGEST_PAYLOAD leaves no payload. Returns true when n bytes are held.
  bool newPayload(int n);
  void deletePayload();
  void setSourceId(uint32_t id) { sourceId = id; }
  void setDestId(uint32_t id) { destId = id; }
  // Deep copy of other (header, payload, check word).
  void clone(const SelvomaPacket& other) { *this = other; }

  int payloadLen() const { return payloadLen_; }
  // The payload (payloadLen() bytes followed by a 0), null when there is none.
  uint8_t* payload() { return payloadLen_ > 0 ? payload_.data() : nullptr; }
  const uint8_t* payload() const { return payloadLen_ > 0 ? payload_.data() : nullptr; }

  // Frame length on the wire: payloadLen() + SELVOMA_OVERHEAD.
  int length() const;

  uint32_t calcXOR32() const;
  bool checkXOR() const { return calcXOR32() == xor32; }

  // The SELVOMA_HEADER_LENGTH header bytes as on the wire.
  void headerToBytes(uint8_t* out) const;
  // Takes the header fields from SELVOMA_HEADER_LENGTH wire bytes and drops
  // the payload. Returns the payload length the header announces.
  int headerFromBytes(const uint8_t* in);
  // Writes the whole frame (header, payload, check word) into out, which
  // holds capacity bytes, and stores the check word. Returns the frame
  // length, 0 when it does not fit.
  size_t toBytes(uint8_t* out, size_t capacity);

  static uint8_t incrementSeqNo(uint8_t n) { return static_cast<uint8_t>(n + 1); }
  static uint8_t decrementSeqNo(uint8_t n) { return static_cast<uint8_t>(n - 1); }

  // Display name ("ACK    ", "UNKNOWN(0x82)", ...) and two-letter short name.
  std::string getMessageName() const { return messageName(type); }
  std::string getShortMessageName() const { return shortMessageName(type); }
  static std::string messageName(uint8_t type);
  static std::string shortMessageName(uint8_t type);

  // At most max payload bytes from start, every byte outside 32..126 shown
  // as "~". Empty when start lies beyond the payload.
  std::string textPayload(int start, int max) const;
  // START_SEND_FILE: "name  size=%d crc=%08x"; a payload of 8 bytes or less
  // gives "<short name> [TOO SHORT PAYLOAD]".
  std::string textStartSendFilePayload() const;

  // Log summaries, at most SELVOMA_TEXT_MAX characters.
  std::string toShortString() const;
  // Verbosity below -1 or above 2: "". -1: "" for ACK, FILE_PART and
  // MINISEED, else the short summary. 0: the short summary. 1 and 2: the long form.
  std::string toString(int verbosity) const;

  // FILE_PART with at least 2 payload bytes: part number and data (cut to
  // FILE_PART_MAX_DATA). False otherwise.
  bool getFilePart(FilePart* part) const;
  // Clears trigger, then for a TRIGGER of at least SEL_TRIGGER_LENGTH
  // payload bytes copies them and returns true.
  bool getSelTrigger(SelTrigger* trigger) const;

  // Fields of the miniSEED record in the payload: at byte 0 of a MINISEED,
  // byte 2 of a FILE_PART, byte 0 of anything else. Each needs the record's
  // whole fixed header (Miniseed::HEADER_BYTES) inside the payload.
  // Station trimmed; network and location stripped of trailing blanks. False
  // when the header is missing or its reserved byte is not a blank.
  bool getMiniseedStation(std::string* station, std::string* network, std::string* location) const;
  // "???" and false without a header; "!!!" and true for types other than
  // MINISEED and FILE_PART; else Miniseed::getChannel.
  bool getMiniseedChannel(std::string* channel) const;
  // Record start in microseconds; 0 (and the console line "ZERO T") without
  // a header or for a start of 0.
  hptime_t getMiniseedStartTime() const;
  hptime_t getMiniseedEndTime() const;   // 0 without a header
  double getMiniseedSampleRate() const;  // samples per second, 0 without a header
  // The trace header of the record; cleared without a header.
  void getMSTrace(MSTrace* trace) const;
  // Record start as selTime for a MINISEED, else 0.
  uint32_t getStartSec() const;

  static uint32_t time_tToSelTime(time_t t) { return static_cast<uint32_t>(t - SEL_TIME_OFFSET); }
  static time_t selTimeToTime_t(uint32_t t) { return static_cast<time_t>(t) + SEL_TIME_OFFSET; }
  static uint32_t hptimeToSelTime(hptime_t t) {
    return static_cast<uint32_t>(t / HPTMODULUS - SEL_TIME_OFFSET);
  }

 private:
  // The record inside the payload when its fixed header is there, else null.
  const uint8_t* record() const;
  std::string head() const;
  // How a summary shows the payload after its prefix; summaryForm holds the
  // short and the long form of every frame type in one table.
  struct SummaryForm;
  static const SummaryForm& summaryForm(uint8_t frameType, bool longForm);
  std::string summary(const std::string& prefix, const SummaryForm& form) const;

  int payloadLen_ = 0;            // 0..BIGGEST_PAYLOAD
  std::vector<uint8_t> payload_;  // payloadLen_ + 1 bytes, or empty
};

#endif  // VH_PROTOCOL_SELVOMAPACKET_H_
