#include "protocol/SelvomaPacket.h"

#include <cstring>
#include <ctime>

#include "util/Console.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr char UNPRINTABLE = '~';
constexpr int SHORT_NAME_LENGTH = 2;
constexpr size_t SEED_TIME_TEXT = 64;    // buffer for ms_hptime2seedtimestr
constexpr size_t SEED_MMSS_OFFSET = 12;  // "MM:SS.mmm" in "YYYY,DDD,HH:MM:SS.FFFFFF"
constexpr size_t SEED_MMSS_LENGTH = 9;
constexpr size_t SEED_TIME_LONG = 22;  // characters of the start time in the long form
constexpr int TEXT_NAME_BYTES = 49;    // file names and requests shown in summaries
constexpr int SHORT_COMMAND_BYTES = 80;
constexpr int SHORT_OTHER_BYTES = 10;
constexpr int LONG_FILE_PART_BYTES = 20;
constexpr int LONG_COMMAND_BYTES = 100;
constexpr int LONG_OTHER_BYTES = 40;
constexpr int VERBOSITY_QUIET = -1;
constexpr int VERBOSITY_MAX = 2;

const char* const ALARM_NAMES[] = {"HIGH TEMPERATURE",
                                   "LOW MEMORY",
                                   "LOW VOLTAGE",
                                   "HIGH LEVEL TRIGGER",
                                   "STALTA TRIGGER",
                                   "LOW LEVEL TRIGGER",
                                   "WAVE_TRIGGER",
                                   "LEVEL 2 TRIGGER",
                                   "BROADCAST TRIGGER",
                                   "MYSTERY TRIGGER 09",
                                   "MYSTERY TRIGGER 10",
                                   "11",
                                   "12",
                                   "13",
                                   "14",
                                   "15",
                                   "UNKNOWN"};

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t rotateXor(uint32_t v, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    v ^= bytes[i];
    v = (v >> 8) | (v << 24);
  }
  return v;
}

std::string seedTime(hptime_t t) {
  char text[SEED_TIME_TEXT] = "";
  if (ms_hptime2seedtimestr(t, text, 1) == nullptr) return "";
  return text;
}

uint32_t nowSelTime() { return SelvomaPacket::time_tToSelTime(::time(nullptr)); }

}  // namespace

void SelTrigger::toBytes(uint8_t* out) const {
  putU32(out, static_cast<uint32_t>(time));
  putU32(out + 4, usec);
  out[8] = channelMask;
  out[9] = spare[0];
  out[10] = spare[1];
  out[11] = alarmType;
}

void SelTrigger::fromBytes(const uint8_t* in) {
  time = static_cast<int32_t>(getU32(in));
  usec = getU32(in + 4);
  channelMask = in[8];
  spare[0] = in[9];
  spare[1] = in[10];
  alarmType = in[11];
}

const char* alarmName(int alarmType) {
  if (alarmType < 0 || alarmType > SelTrigger::ALARM_UNKNOWN) alarmType = SelTrigger::ALARM_UNKNOWN;
  return ALARM_NAMES[alarmType];
}

SelvomaPacket::SelvomaPacket() : time(nowSelTime()) {}

void SelvomaPacket::make(uint8_t newType, uint32_t newSourceId, uint32_t newDestId,
                         uint8_t newSeqNo) {
  deletePayload();
  sync = SELVOMA_SYNC;
  type = newType;
  sourceId = newSourceId;
  destId = newDestId;
  seqNo = newSeqNo;
  time = nowSelTime();
}

void SelvomaPacket::make(uint8_t newType, uint32_t newSourceId, uint32_t newDestId,
                         uint8_t newSeqNo, const std::string& text) {
  make(newType, newSourceId, newDestId, newSeqNo, reinterpret_cast<const uint8_t*>(text.data()),
       static_cast<int>(text.size()));
}

void SelvomaPacket::make(uint8_t newType, uint32_t newSourceId, uint32_t newDestId,
                         uint8_t newSeqNo, const uint8_t* bytes, int n) {
  make(newType, newSourceId, newDestId, newSeqNo);
  if (bytes != nullptr && newPayload(n)) memcpy(payload_.data(), bytes, static_cast<size_t>(n));
}

bool SelvomaPacket::newPayload(int n) {
  deletePayload();
  if (n <= 0 || n > BIGGEST_PAYLOAD) return false;
  payload_.assign(static_cast<size_t>(n) + 1, 0);
  payloadLen_ = n;
  return true;
}

void SelvomaPacket::deletePayload() {
  payload_.clear();
  payload_.shrink_to_fit();
  payloadLen_ = 0;
}

int SelvomaPacket::length() const { return payloadLen_ + static_cast<int>(SELVOMA_OVERHEAD); }

void SelvomaPacket::headerToBytes(uint8_t* out) const {
  out[0] = sync;
  out[1] = type;
  putU16(out + 2, static_cast<uint16_t>(payloadLen_));
  putU32(out + 4, sourceId);
  putU32(out + 8, destId);
  putU32(out + 12, time);
  out[16] = seqNo;
}

int SelvomaPacket::headerFromBytes(const uint8_t* in) {
  deletePayload();
  sync = in[0];
  type = in[1];
  sourceId = getU32(in + 4);
  destId = getU32(in + 8);
  time = getU32(in + 12);
  seqNo = in[16];
  return getU16(in + 2);
}

uint32_t SelvomaPacket::calcXOR32() const {
  uint8_t header[SELVOMA_HEADER_LENGTH];
  headerToBytes(header);
  uint32_t v = rotateXor(0, header, sizeof header);
  return rotateXor(v, payload(), static_cast<size_t>(payloadLen_));
}

size_t SelvomaPacket::toBytes(uint8_t* out, size_t capacity) {
  size_t total = static_cast<size_t>(length());
  if (total > capacity) return 0;
  headerToBytes(out);
  if (payloadLen_ > 0) memcpy(out + SELVOMA_HEADER_LENGTH, payload_.data(), payloadLen_);
  xor32 = calcXOR32();
  putU32(out + SELVOMA_HEADER_LENGTH + payloadLen_, xor32);
  return total;
}

std::string SelvomaPacket::messageName(uint8_t type) {
  switch (type) {
    case TRIGGER:
      return "TRIGGER";
    case REQUEST_FILE_TIME:
      return "REQFTIM";
    case RESPONSE_FILE_NAME:
      return "RSPFNAM";
    case REQUEST_FILE:
      return "REQFILE";
    case FILE_PART:
      return "FILPART";
    case MINISEED:
      return "MINSEED";
    case START_SEND_FILE:
      return "STARTSF";
    case COMMAND:
      return "COMMAND";
    case FLASH:
      return "FLASH  ";
    case BAD_PACKET:
      return "BADPAKT";
    case IDENTIFY:
      return "IDENTIF";
    case IDENT_NL:
      return "IDEN_NL";
    case LINK_INIT:
      return "LINK_IN";
    case NACK:
      return "NACK   ";
    case ACK:
      return "ACK    ";
    default:
      return sformat("UNKNOWN(0x%02x)", type);
  }
}

std::string SelvomaPacket::shortMessageName(uint8_t type) {
  return messageName(type).substr(0, SHORT_NAME_LENGTH);
}

std::string SelvomaPacket::textPayload(int start, int max) const {
  std::string out;
  if (start < 0 || start >= payloadLen_ || max <= 0) return out;
  int end = start + max < payloadLen_ ? start + max : payloadLen_;
  out.reserve(static_cast<size_t>(end - start));
  for (int i = start; i < end; ++i) {
    int c = payload_[static_cast<size_t>(i)];
    out += isPrintableAscii(c) ? static_cast<char>(c) : UNPRINTABLE;
  }
  return out;
}

std::string SelvomaPacket::textStartSendFilePayload() const {
  if (payloadLen_ <= static_cast<int>(START_SEND_FILE_FIXED)) {
    return sformat("%s [TOO SHORT PAYLOAD]", getShortMessageName().c_str());
  }
  const uint8_t* p = payload();
  std::string name = textPayload(START_SEND_FILE_FIXED, payloadLen_);
  return sformatBounded(START_SEND_FILE_TEXT_MAX, "%s  size=%d crc=%08x", name.c_str(),
                        static_cast<int32_t>(getU32(p)), getU32(p + 4));
}

const uint8_t* SelvomaPacket::record() const {
  size_t offset = type == FILE_PART ? FILE_PART_INDEX_LENGTH : 0;
  if (static_cast<size_t>(payloadLen_) < offset + Miniseed::HEADER_BYTES) return nullptr;
  return payload_.data() + offset;
}

std::string SelvomaPacket::head() const {
  return sformat("%s %02X ln=%3d seq=%03u", getMessageName().c_str(), type, payloadLen_, seqNo);
}

struct SelvomaPacket::SummaryForm {
  enum Body {
    NAME_ONLY,             // the prefix alone
    TEXT,                  // "[%s]": the first bytes of the payload as text
    TRIGGER_TEXT,          // the trigger's time, channels, alarm and lag
    START_SEND_FILE_TEXT,  // textStartSendFilePayload
    PART_NUMBER,           // the part number of a FILE_PART
    PART_DATA,             // "[%d][%s]": part number and the first data bytes
    RECORD_TIME,           // "MM:SS.mmm" of the record's start and its channel
    RECORD,                // samples, start, station:network:channel and lag
    FLASH_BLOCK,           // block index, block check and the first data bytes
  };
  Body body;
  int bytes;  // payload bytes shown by TEXT, PART_DATA and FLASH_BLOCK
};

const SelvomaPacket::SummaryForm& SelvomaPacket::summaryForm(uint8_t frameType, bool longForm) {
  using F = SummaryForm;
  struct Row {
    uint8_t type;
    F shortForm;
    F longForm;
  };
  static const Row ROWS[] = {
      {TRIGGER, {F::TRIGGER_TEXT, 0}, {F::TRIGGER_TEXT, 0}},
      {REQUEST_FILE_TIME, {F::TEXT, TEXT_NAME_BYTES}, {F::TEXT, TEXT_NAME_BYTES}},
      {RESPONSE_FILE_NAME, {F::TEXT, TEXT_NAME_BYTES}, {F::TEXT, TEXT_NAME_BYTES}},
      {REQUEST_FILE, {F::TEXT, TEXT_NAME_BYTES}, {F::TEXT, TEXT_NAME_BYTES}},
      {FILE_PART, {F::PART_NUMBER, 0}, {F::PART_DATA, LONG_FILE_PART_BYTES}},
      {MINISEED, {F::RECORD_TIME, 0}, {F::RECORD, 0}},
      {START_SEND_FILE, {F::START_SEND_FILE_TEXT, 0}, {F::START_SEND_FILE_TEXT, 0}},
      {COMMAND, {F::TEXT, SHORT_COMMAND_BYTES}, {F::TEXT, LONG_COMMAND_BYTES}},
      {FLASH, {F::TEXT, SHORT_COMMAND_BYTES}, {F::FLASH_BLOCK, LONG_COMMAND_BYTES}},
      {IDENTIFY, {F::NAME_ONLY, 0}, {F::NAME_ONLY, 0}},
      {IDENT_NL, {F::NAME_ONLY, 0}, {F::NAME_ONLY, 0}},
      {LINK_INIT, {F::NAME_ONLY, 0}, {F::NAME_ONLY, 0}},
      {NACK, {F::NAME_ONLY, 0}, {F::NAME_ONLY, 0}},
      {ACK, {F::NAME_ONLY, 0}, {F::NAME_ONLY, 0}},
  };
  // Every other type.
  static const Row OTHER = {0, {F::TEXT, SHORT_OTHER_BYTES}, {F::TEXT, LONG_OTHER_BYTES}};
  const Row* row = &OTHER;
  for (const Row& r : ROWS) {
    if (r.type == frameType) row = &r;
  }
  return longForm ? row->longForm : row->shortForm;
}

std::string SelvomaPacket::summary(const std::string& prefix, const SummaryForm& form) const {
  const char* pre = prefix.c_str();
  const bool hasPartNumber = payloadLen_ >= static_cast<int>(FILE_PART_INDEX_LENGTH);
  switch (form.body) {
    case SummaryForm::NAME_ONLY:
      return prefix;
    case SummaryForm::TEXT:
      return sformat("%s [%s]", pre, textPayload(0, form.bytes).c_str());
    case SummaryForm::TRIGGER_TEXT: {
      SelTrigger trigger;
      if (!getSelTrigger(&trigger)) return prefix + " ERROR Parsing Trigger packet.";
      time_t t = static_cast<time_t>(trigger.time) + SEL_TIME_OFFSET;
      double lag = getFloatSec() - (static_cast<double>(t) + trigger.usec / 1e6);
      return sformat("%s %d=%s.%06u chns=%02x %d=%s lag=%.2f", pre, trigger.time,
                     time_tToStr(t).c_str(), trigger.usec, trigger.channelMask, trigger.alarmType,
                     alarmName(trigger.alarmType), lag);
    }
    case SummaryForm::START_SEND_FILE_TEXT:
      if (payloadLen_ <= static_cast<int>(START_SEND_FILE_FIXED))
        return prefix + " [TOO SHORT PAYLOAD]";
      return sformat("%s %s", pre, textStartSendFilePayload().c_str());
    case SummaryForm::PART_NUMBER:
      if (!hasPartNumber) return prefix + ". TOO SHORT FOR INDEX.";
      return sformat("%s %d", pre, getU16(payload()));
    case SummaryForm::PART_DATA:
      if (!hasPartNumber) return prefix + ". TOO SHORT FOR INDEX.";
      return sformat("%s [%d][%s]", pre, getU16(payload()),
                     textPayload(FILE_PART_INDEX_LENGTH, form.bytes).c_str());
    case SummaryForm::RECORD_TIME: {
      std::string start = seedTime(getMiniseedStartTime());
      std::string mmss =
          start.size() > SEED_MMSS_OFFSET ? start.substr(SEED_MMSS_OFFSET, SEED_MMSS_LENGTH) : "";
      std::string channel;
      getMiniseedChannel(&channel);
      return sformat("%s %s %s", pre, mmss.c_str(), channel.c_str());
    }
    case SummaryForm::RECORD: {
      const uint8_t* r = record();
      if (r == nullptr) return sformat("%s [%s]", pre, textPayload(0, LONG_OTHER_BYTES).c_str());
      std::string station, network, location, channel;
      getMiniseedStation(&station, &network, &location);
      getMiniseedChannel(&channel);
      double lag = getFloatSec() - static_cast<double>(Miniseed::getEndTime(r)) / HPTMODULUS;
      return sformat("%s %dsmp %s %s:%s:%s lag=%.2f", pre, Miniseed::getNumSamples(r),
                     bounded(seedTime(Miniseed::getStartTime(r)), SEED_TIME_LONG).c_str(),
                     station.c_str(), network.c_str(), channel.c_str(), lag);
    }
    case SummaryForm::FLASH_BLOCK:
      if (payloadLen_ < static_cast<int>(FLASH_BLOCK_FIXED))
        return sformat("%s [%s]", pre, textPayload(0, LONG_OTHER_BYTES).c_str());
      return sformat("%s %03u x%08x [%s]", pre, getU32(payload()), getU32(payload() + 4),
                     textPayload(FLASH_BLOCK_FIXED, form.bytes).c_str());
  }
  return prefix;
}

std::string SelvomaPacket::toShortString() const {
  return bounded(summary(getShortMessageName(), summaryForm(type, false)), SELVOMA_TEXT_MAX);
}

std::string SelvomaPacket::toString(int verbosity) const {
  if (verbosity < VERBOSITY_QUIET || verbosity > VERBOSITY_MAX) return "";
  if (verbosity == VERBOSITY_QUIET) {
    if (type == ACK || type == FILE_PART || type == MINISEED) return "";
    return toShortString();
  }
  if (verbosity == 0) return toShortString();
  return bounded(summary(head(), summaryForm(type, true)), SELVOMA_TEXT_MAX);
}

bool SelvomaPacket::getFilePart(FilePart* part) const {
  if (type != FILE_PART || payloadLen_ < static_cast<int>(FILE_PART_INDEX_LENGTH)) return false;
  part->partNumber = getU16(payload());
  size_t n = static_cast<size_t>(payloadLen_) - FILE_PART_INDEX_LENGTH;
  if (n > FILE_PART_MAX_DATA) n = FILE_PART_MAX_DATA;
  const uint8_t* data = payload() + FILE_PART_INDEX_LENGTH;
  part->data.assign(data, data + n);
  return true;
}

bool SelvomaPacket::getSelTrigger(SelTrigger* trigger) const {
  trigger->clear();
  if (type != TRIGGER || payloadLen_ < static_cast<int>(SEL_TRIGGER_LENGTH)) return false;
  trigger->fromBytes(payload());
  return true;
}

bool SelvomaPacket::getMiniseedStation(std::string* station, std::string* network,
                                       std::string* location) const {
  const uint8_t* r = record();
  if (r == nullptr) return false;
  return Miniseed::getStation(r, station) && Miniseed::getNetwork(r, network) &&
         Miniseed::getLocation(r, location);
}

bool SelvomaPacket::getMiniseedChannel(std::string* channel) const {
  const uint8_t* r = record();
  if (r == nullptr) {
    *channel = "???";
    return false;
  }
  if (type != MINISEED && type != FILE_PART) {
    *channel = "!!!";
    return true;
  }
  return Miniseed::getChannel(r, channel);
}

hptime_t SelvomaPacket::getMiniseedStartTime() const {
  const uint8_t* r = record();
  hptime_t t = r == nullptr ? 0 : Miniseed::getStartTime(r);
  if (t == 0) pprintf("ZERO T\n");
  return t;
}

hptime_t SelvomaPacket::getMiniseedEndTime() const {
  const uint8_t* r = record();
  return r == nullptr ? 0 : Miniseed::getEndTime(r);
}

double SelvomaPacket::getMiniseedSampleRate() const {
  const uint8_t* r = record();
  return r == nullptr ? 0 : Miniseed::getSampleRate(r);
}

void SelvomaPacket::getMSTrace(MSTrace* trace) const {
  const uint8_t* r = record();
  if (r == nullptr) {
    memset(trace, 0, sizeof *trace);
    return;
  }
  Miniseed::getMSTraceHeader(r, trace);
}

uint32_t SelvomaPacket::getStartSec() const {
  if (type != MINISEED) return 0;
  hptime_t t = getMiniseedStartTime();
  return t == 0 ? 0 : hptimeToSelTime(t);
}
