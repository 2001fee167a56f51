#include "protocol/PacketReaderWriter.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/Log.h"
#include "io/IO.h"
#include "util/Console.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char NO_STATION[] = "__";  // CSV station name without a log
constexpr char NIL_REPLY[] = "nil";
constexpr size_t NIL_REPLY_LENGTH = 3;
constexpr char DUMMY_COMMAND[] = "dummy";
constexpr int DUMMY_MIN_LENGTH = 5;  // "dummy" forgets lastSetting only in payloads longer than 4
constexpr size_t QUERY_KEY_OFFSET = 2;  // "? key": the key starts at the third character
constexpr int SECONDS_PER_HOUR = 3600;
constexpr char LOG_FOLDER[] = "log/";

uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

PacketReaderWriter::PacketReaderWriter() : clock_([] { return ::time(nullptr); }) {}

void PacketReaderWriter::init(uint32_t ownId, IO* io, Log* log) {
  ownId_ = ownId;
  io_ = io;
  log_ = log;
  if (io_ == nullptr) logLine("NULL io in PacketReaderWriter.init()");
}

void PacketReaderWriter::logLine(const std::string& text) {
  if (log_ != nullptr) log_->add(bounded(text, RW_TEXT_MAX).c_str());
}

bool PacketReaderWriter::exhausted(int needed) const {
  return io_->isLinkDead() && io_->available() < needed;
}

bool PacketReaderWriter::keepWaiting() {
  if (!stopped_ && waitHook_ && !waitHook_()) stopped_ = true;
  return !stopped_;
}

bool PacketReaderWriter::pause(long microseconds) {
  while (microseconds > 0) {
    if (!keepWaiting()) return false;
    long step = std::min(microseconds, READ_HOOK_SLICE_US);
    sleepu(step);
    microseconds -= step;
  }
  return true;
}

int PacketReaderWriter::take(uint8_t* bytes, int count) {
  if (exhausted(count)) {
    // A dead link holds too few bytes: take them without waiting.
    int left = io_->available();
    return left > 0 ? io_->readBuf(bytes, left) : 0;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::microseconds(READ_TAKE_WAIT_MAX_US);
  int got = io_->readonce(bytes, count);  // also resets the link's error number
  if (got < 0) return got;
  while (got < count) {
    if (io_->isLinkDead()) {
      int left = io_->available();
      if (left > 0) got += io_->readBuf(bytes + got, std::min(left, count - got));
      break;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline || !keepWaiting()) break;
    long rest = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count());
    io_->waitForBytes(static_cast<uint32_t>(count - got), std::min(rest, READ_HOOK_SLICE_US));
    got += io_->readBuf(bytes + got, count - got);
  }
  return got;
}

int PacketReaderWriter::read(SelvomaPacket* packet, bool wait) {
  if (io_ == nullptr) {
    logLine("NULL io in PacketReaderWriter.read");
    return READ_FAILED;
  }
  stopped_ = false;
  // Waits on the link's bytes-arrived signal (not in fixed sleeps) until more
  // than READ_WAIT_ENOUGH bytes are there, for at most READ_WAIT_MAX_US.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point waitEnd = Clock::now() + std::chrono::microseconds(READ_WAIT_MAX_US);
  for (;;) {
    int n = io_->available();
    if (n < 1 && !wait) return READ_NOTHING;
    // A dead link brings no more bytes: go on with what is there.
    if (n > READ_WAIT_ENOUGH || io_->isLinkDead()) break;
    if (!keepWaiting()) return READ_STOPPED;
    const Clock::time_point now = Clock::now();
    if (now >= waitEnd) break;
    const long rest = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(waitEnd - now).count());
    io_->waitForBytes(READ_WAIT_ENOUGH + 1, std::min(rest, READ_HOOK_SLICE_US));
  }

  if (!readHead(packet)) {
    if (stopped_) return READ_STOPPED;
    if (io_->available() < 0) return READ_FAILED;
    io_->clear();
    packet->type = SelvomaPacket::BAD_PACKET;
    return READ_FAILED;
  }
  if (!readPayload(packet)) {
    if (stopped_) return READ_STOPPED;
    // A dead link keeps its last bytes; a complete frame read before the
    // link died is still handed on, and the next read reports the end.
    if (io_->available() < 0) return READ_FAILED;
    io_->clear();
    packet->type = SelvomaPacket::BAD_PACKET;
    return READ_FAILED;
  }

  ++receivedCount_;
  if (log_ != nullptr) log_->setId(static_cast<int>(packet->sourceId));
  int verbosity = log_ != nullptr ? log_->getVerbosness() : 0;
  std::string text = packet->toString(verbosity);
  if (!text.empty()) {
    if (verbosity > 0) {
      logLine(sformat("%6d R %s", receivedCount_, text.c_str()));
    } else {
      logLine("R " + text);
    }
  }

  if (!packet->checkXOR()) {
    // Interface log line
    logLine("BAD SELVOMA XOR32 in above packet");
    // To the miniSEED library's log, which start-up routes into the hub's.
    ms_log(0, "%s\n", bounded(text, RW_TEXT_MAX).c_str());
    ms_log(0, "BAD SELVOMA XOR32\n");
    return READ_FAILED;
  }

  if (packet->type == SelvomaPacket::COMMAND &&
      packet->payloadLen() >= static_cast<int>(NIL_REPLY_LENGTH) &&
      memcmp(packet->payload(), NIL_REPLY, NIL_REPLY_LENGTH) == 0 && lastSetting_.size() > 1) {
    std::string reply = lastSetting_ + "=" + NIL_REPLY;
    uint32_t check = packet->xor32;
    packet->make(packet->type, packet->sourceId, packet->destId, packet->seqNo, reply);
    packet->xor32 = check;
  }

  peerId_ = packet->sourceId;
  return READ_PACKET;
}

int PacketReaderWriter::findSync() {
  int pass = 0;
  int skipped = 0;
  bool found = false;
  while (pass < SYNC_SEARCH_PASSES && !found) {
    ++pass;
    unsigned char c;
    while (io_->readBuf(&c, 1) == 1) {
      if (c == SELVOMA_SYNC) {
        found = true;
        break;
      }
      ++skipped;
    }
    if (found) break;
    // The ring ran empty: a dead link brings nothing more.
    if (io_->available() < 0 || !pause(SYNC_SEARCH_SLEEP_US)) break;
  }
  if (found && skipped > 0) {
    // Interface log line
    logLine(sformat("Skipping bad bytes (%d).  %d bad bytes. avail=%d", pass, skipped,
                    io_->available()));
  }
  return found ? pass : -pass;
}

bool PacketReaderWriter::readHead(SelvomaPacket* packet) {
  int pass = findSync();
  if (stopped_) return false;
  if (pass < 0) {
    pass = -pass;
    // No sync byte in any pass. A live link still gets its header read (the
    // sync byte may be late); a dead one has nothing more to give.
    if (io_->available() < 0) return false;
  }

  uint8_t header[SELVOMA_HEADER_LENGTH];
  header[0] = SELVOMA_SYNC;
  const int total = static_cast<int>(SELVOMA_HEADER_LENGTH);
  int have = 1;
  for (int attempt = 1; attempt <= HEAD_READ_ATTEMPTS && have < total; ++attempt) {
    int n = take(header + have, total - have);
    if (n < 0) break;  // the link is gone
    have += n;
    bytesReceived_ += static_cast<uint32_t>(n);
    if (stopped_) return false;
    if (have < total) logLine(sformat("HEAD READ COUNTER=%d N=%d", attempt, have));
  }
  if (have < total) {
    int err = io_->getErrno();
    if (err != 0) {
      logLine(sformat("PacketReaderWriter.receiveHead() errno=%d", err));
      return false;
    }
    logLine(sformat("%6d INCOMPLETE READ only %d out of %d bytes. ii=%d", receivedCount_, have,
                    total, pass));
    if (!exhausted(total - have) && !pause(HEAD_LAST_TRY_SLEEP_US)) return false;
    int n = take(header + have, total - have);
    if (n > 0) {
      have += n;
      bytesReceived_ += static_cast<uint32_t>(n);
    }
    if (stopped_) return false;
    if (have < total) {
      logLine(
          sformat("%6d NOT ENOUGH HEADER BYTES... numbytes= %d < %d", receivedCount_, have, total));
      return false;
    }
  }
  int err = io_->getErrno();
  if (err != 0) {
    logLine(sformat("PacketReaderWriter.receiveHead() errno=%d", err));
    return false;
  }

  headPayloadLen_ = packet->headerFromBytes(header);
  if (packet->sourceId < STATION_ID_MIN || packet->sourceId > STATION_ID_MAX) {
    std::string line = sformat("bad station id = %u (%8x)", packet->sourceId, packet->sourceId);
    pprintf("%s\n", line.c_str());
    // Interface log line
    logLine(line);
    if (packet->sourceId == CFUN_STATION_ID) {
      // Interface log line
      logLine("You may be using \"Telemetry->Device: 3G Modem.\"  Set it to \"Serial\"");
    }
    return false;
  }
  return true;
}

bool PacketReaderWriter::readPayload(SelvomaPacket* packet) {
  const int len = headPayloadLen_;
  const int check = static_cast<int>(SELVOMA_CHECK_LENGTH);
  if (len > static_cast<int>(LINK_PAYLOAD_MAX)) {
    // Interface log line
    logLine(sformat("PacketReaderWriter.receivePayload() payloadLen=%d this BAD", len));
    return false;
  }
  if (len == 0) {
    uint8_t word[SELVOMA_CHECK_LENGTH];
    int n = take(word, check);
    if (n > 0) bytesReceived_ += static_cast<uint32_t>(n);
    if (stopped_) return false;
    if (n != check) {
      logLine(sformat("Bad XOR length n=%d", n));
      return false;
    }
    packet->xor32 = getU32(word);
    lastReadResult_ = n;
    return true;
  }
  const int want = len + check;
  int n = take(receiveBuffer_.data(), want);
  lastReadResult_ = n;
  if (stopped_) return false;
  if (n < 0) {
    logLine(sformat("read n=%d.  Error reading", n));
    return false;
  }
  bytesReceived_ += static_cast<uint32_t>(n);
  if (n < want) {
    logLine(sformat("BAD receivePayload.  p.payloadLen=%d n=%d", len, n));
    return false;
  }
  packet->newPayload(len);
  memcpy(packet->payload(), receiveBuffer_.data(), static_cast<size_t>(len));
  packet->xor32 = getU32(receiveBuffer_.data() + len);
  return true;
}

bool PacketReaderWriter::write(SelvomaPacket* packet) {
  if (io_ == nullptr) {
    logLine("io is NULL in PacketReaderWriter.write");
    return false;
  }
  packet->sourceId = ownId_;
  packet->destId = peerId_;
  const time_t nowTime = clock_();
  if (packet->payloadLen() > static_cast<int>(LINK_PAYLOAD_MAX)) return false;

  size_t frameLength = packet->toBytes(sendBuffer_.data(), sendBuffer_.size());
  int result = io_->write(sendBuffer_.data(), static_cast<int>(frameLength));
  if (result != static_cast<int>(frameLength)) {
    pprintf("packetreaderwriter write result = %d\n", result);
    return false;
  }

  // The first write, or the first one of a new hour, closes the hour of the
  // previous write.
  const time_t lastWrite = lastWriteTime_ == 0 ? nowTime : lastWriteTime_;
  if (lastWriteTime_ == 0 || lastWrite / SECONDS_PER_HOUR != nowTime / SECONDS_PER_HOUR) {
    struct tm tmLastWrite;
    gmtm(&tmLastWrite, lastWrite);
    writeSendReceiveLog(tmLastWrite);
  }
  bytesSent_ += static_cast<uint32_t>(frameLength);
  ++sentCount_;
  lastWriteTime_ = nowTime;

  if (log_ != nullptr) {
    if (log_->getVerbosness() == 0 && sentCount_ % LOG_EVERY_NTH_SEND != 0) {
      logLine("S " + packet->toShortString());
    } else if (log_->isVerbose()) {
      // The long form is formatted only when the verbose log takes it.
      log_->addVerbose(
          bounded(sformat("%6d S %s", sentCount_, packet->toString(1).c_str()), RW_TEXT_MAX)
              .c_str());
    }
  }
  setLastSetting(*packet);
  return true;
}

bool PacketReaderWriter::write(uint8_t type, uint32_t destId, uint8_t seqNo) {
  SelvomaPacket packet;
  packet.make(type, ownId_, destId, seqNo);
  return write(&packet);
}

bool PacketReaderWriter::writeIdentify(uint32_t destId) {
  return write(SelvomaPacket::IDENTIFY, destId, 0);
}

void PacketReaderWriter::disconnect() {
  if (io_ == nullptr) return;
  logLine("disconnect");
  io_->close();
}

std::string PacketReaderWriter::csvPath(const struct tm& tm) const {
  std::string folder = log_ != nullptr ? log_->getLogDir() : BASE_DIR + LOG_FOLDER;
  std::string station = log_ != nullptr ? log_->getStation() : "";
  if (station.empty()) station = NO_STATION;
  return sformatBounded(RW_TEXT_MAX, "%ssendreceive.%04d%02d.%s.csv", folder.c_str(),
                        tm.tm_year + 1900, tm.tm_mon + 1, station.c_str());
}

void PacketReaderWriter::writeSendReceiveLog(const struct tm& tm) {
  if (bytesSent_ == 0) return;
  std::string path = csvPath(tm);
  std::string station = log_ != nullptr ? log_->getStation() : "";
  if (station.empty()) station = NO_STATION;
  mkdirs(path, false);
  FILE* f = fopen(path.c_str(), "a");
  if (f != nullptr) {
    // Interface file line
    fprintf(f, "%04d-%02d-%02d %02d:00,%s,%s,%lu,%lu\n", tm.tm_year + 1900, tm.tm_mon + 1,
            tm.tm_mday, tm.tm_hour, station.c_str(), io_->getDescription(),
            static_cast<unsigned long>(bytesSent_), static_cast<unsigned long>(bytesReceived_));
    fclose(f);
    chmod(path.c_str(), MODE_SHARED_FILE);
  }
  bytesSent_ = 0;
  bytesReceived_ = 0;
}

void PacketReaderWriter::setLastSetting(const SelvomaPacket& packet) {
  const int n = packet.payloadLen();
  if (packet.type != SelvomaPacket::COMMAND || n < SETTING_COMMAND_MIN || n > SETTING_COMMAND_MAX) {
    return;
  }
  const std::string text(reinterpret_cast<const char*>(packet.payload()), static_cast<size_t>(n));
  if (n >= DUMMY_MIN_LENGTH && text.compare(0, strlen(DUMMY_COMMAND), DUMMY_COMMAND) == 0) {
    lastSetting_.clear();
  }
  if (text[0] == '?') lastSetting_ = bounded(text.substr(QUERY_KEY_OFFSET), LAST_SETTING_MAX);
  size_t equals = text.find('=');
  if (equals != std::string::npos) lastSetting_ = bounded(text.substr(0, equals), LAST_SETTING_MAX);
}
