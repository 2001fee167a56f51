#include "Instrument.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/Crc32.h"
#include "util/JsonLine.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char THREAD_PREFIX[] = "sim-";
constexpr size_t THREAD_NAME_CHARS = 15;           // the system keeps this many
constexpr int STOP_CHECK_MS = 50;                  // slices of a pause
constexpr int MINISEED_PIECE = SIM_RECORD_LENGTH;  // data bytes per piece of a .ms file
constexpr int FILE_PIECE = static_cast<int>(FILE_PART_MAX_DATA);  // per piece of other files
constexpr char MINISEED_SUFFIX[] = ".ms";
constexpr char SLEEP_COMMAND[] = "sleep ";
constexpr char STREAM_COMMAND[] = "stream ";
constexpr char DELETE_COMMAND[] = "del ";
constexpr char FOREIGN_TEXT[] = "foreign";
constexpr int HISTOGRAM_DAYS = 2;  // daily files written at start: today and yesterday
constexpr time_t DAY_S = 86400;
constexpr time_t HOUR_S = 3600;
constexpr long MS_PER_S = 1000;

int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

hptime_t wallNow() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

Instrument::Instrument(InstrumentConfig config)
    : config_(std::move(config)), garbageRng_(config_.stationId) {}

Instrument::~Instrument() {
  requestStop();
  join();
}

void Instrument::join() {
  if (thread_.joinable()) thread_.join();
}

void Instrument::post(const ControlCommand& command) {
  std::lock_guard<std::mutex> lock(postMu_);
  posted_.push_back(command);
}

std::string Instrument::summaryLine() const {
  return sformat(
      "summary %s id=%08x frames=%llu acks=%llu nacks=%llu commands=%llu requests=%llu "
      "resent=%llu bad=%llu records=%llu",
      config_.station.c_str(), config_.stationId, static_cast<unsigned long long>(framesSent()),
      static_cast<unsigned long long>(acks()), static_cast<unsigned long long>(nacks()),
      static_cast<unsigned long long>(commands()), static_cast<unsigned long long>(requests()),
      static_cast<unsigned long long>(resent()), static_cast<unsigned long long>(badFrames()),
      static_cast<unsigned long long>(recordsMade()));
}

void Instrument::logLine(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  std::string text = vsformat(format, args);
  va_end(args);
  std::string stamp = time_tToStr(time(nullptr));
  fprintf(stderr, "%s [%s] %s\n", stamp.c_str(), config_.station.c_str(), text.c_str());
}

bool Instrument::start(std::string* error) {
  time_t now = time(nullptr);
  StreamIdentity identity{config_.station,  config_.network,    config_.location,
                          config_.channels, config_.sampleRate, config_.buildNumber,
                          config_.stationId};
  settings_ = std::make_unique<SimSettings>(identity, now);
  if (!config_.settingsPath.empty() &&
      !settings_->load(config_.settingsPath, config_.buildGiven, error)) {
    return false;
  }
  if (!config_.cardDir.empty()) {
    card_ = std::make_unique<Card>(config_.cardDir);
    if (!card_->ready()) {
      *error = "cannot create card folder " + config_.cardDir;
      return false;
    }
    writeCardFiles();
  }

  steadyStartMs_ = steadyMs();
  clockStart_ = wallNow();
  hptime_t streamStart = clockStart_ - static_cast<hptime_t>(config_.backlogSeconds * HPTMODULUS);
  hptime_t recordStart = streamStart - static_cast<hptime_t>(config_.prefillSeconds * HPTMODULUS);
  for (size_t i = 0; i < config_.channels.size(); ++i) {
    ChannelCodes codes{config_.network, config_.station, config_.location, config_.channels[i],
                       config_.sampleRate};
    double gain = 1.0 / static_cast<double>(i + 1);
    recorders_.push_back(std::make_unique<ChannelRecorder>(
        codes, recordStart, config_.stationId * 31u + static_cast<uint32_t>(i), config_.stationId,
        gain));
  }
  // Prefill: records that end before the data clock starts go to the card only.
  if (card_ && config_.prefillSeconds > 0) {
    for (;;) {
      if (earliestEnd() > streamStart) break;
      hptime_t end = 0, start = 0;
      Miniseed::Record r = takeRecord(&end, &start);
      card_->appendRecord(config_.station, r.data(), r.size(),
                          static_cast<time_t>(start / HPTMODULUS));
    }
  }
  state_ = config_.identify ? WAIT_IDENTIFY : STREAMING;
  if (config_.usePty && !link_.openPty(&ptyPath_, error)) return false;
  thread_ = std::thread(&Instrument::run, this);
  return true;
}

void Instrument::writeCardFiles() {
  card_->writeFile(SETTINGS_FILE_NAME, settings_->render());
  time_t now = time(nullptr);
  for (int day = 0; day < HISTOGRAM_DAYS; ++day) {
    time_t dayStart = (now / DAY_S - day) * DAY_S;
    std::string csv =
        "\"datetime\",\"sum peak\",\"chO peak\",\"Voltage\",\"Temperature\",\"Sats\","
        "\"% Free\"\n";
    for (time_t t = dayStart; t < std::min(dayStart + DAY_S, now); t += HOUR_S) {
      csv += time_tToStr(t) + ",0.0012,0.0009,12.40,21.5,9,87.50\n";
    }
    card_->writeFile(Card::histogramPath(dayStart), csv);
  }
}

void Instrument::run() {
  std::string name = bounded(THREAD_PREFIX + config_.station, THREAD_NAME_CHARS);
  pthread_setname_np(pthread_self(), name.c_str());
  try {
    runLoop();
  } catch (const std::exception& e) {
    logLine("instrument ended by an error: %s", e.what());
  } catch (...) {
    logLine("instrument ended by an unknown error");
  }
  link_.close(false);
  streaming_.store(false);
  finished_.store(true, std::memory_order_release);
}

void Instrument::runLoop() {
  auto pause = [this](int seconds) {
    int64_t until = steadyMs() + seconds * MS_PER_S;
    while (!stop_.load(std::memory_order_relaxed) && steadyMs() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(STOP_CHECK_MS));
      produce();  // the instrument keeps recording while it has no link
    }
  };
  while (!stop_.load(std::memory_order_relaxed)) {
    if (!link_.isOpen()) {
      if (config_.usePty) {
        logLine("pseudo-terminal lost; instrument ends");
        return;
      }
      if (!openLink()) {
        if (config_.reconnectSeconds <= 0) return;
        pause(config_.reconnectSeconds);
        continue;
      }
    }
    if (turn()) continue;
    if (config_.usePty && link_.isOpen()) {
      // The far end stopped reading (a hub between two serial sessions):
      // drop what is queued in the line and wait for the next IDENTIFY.
      logLine("serial line stalled; session dropped");
      link_.flushPty();
      resetSession();
      continue;
    }
    logLine("link closed");
    link_.close(disconnectNow_);
    disconnectNow_ = false;
    resetSession();
    if (config_.reconnectSeconds <= 0) return;
    pause(config_.reconnectSeconds);
  }
}

bool Instrument::openLink() {
  std::string error;
  if (!link_.connectTcp(config_.host, config_.port, &error)) {
    logLine("cannot connect: %s", error.c_str());
    return false;
  }
  logLine("connected to %s:%u as %08x", config_.host.c_str(), config_.port, config_.stationId);
  resetSession();
  return true;
}

void Instrument::resetSession() {
  decoder_.clear();
  state_ = config_.identify ? WAIT_IDENTIFY : STREAMING;
  streaming_.store(state_ == STREAMING);
  resend_.clear();
  sleepUntilMs_ = 0;
  hubId_ = 0;
}

bool Instrument::turn() {
  handleControl();
  if (disconnectNow_) {
    if (!link_.isPty()) return false;
    logLine("dropping the serial session");
    disconnectNow_ = false;
    link_.flushPty();
    resetSession();
  }
  produce();
  std::vector<uint8_t> input;
  if (steadyMs() < silentUntilMs_) {
    int r = link_.readSome(&input, POLL_MS);  // heard and ignored
    decoder_.clear();
    return r >= 0;
  }
  bool busy =
      state_ == STREAMING && steadyMs() >= sleepUntilMs_ && (!unsent_.empty() || !resend_.empty());
  int r = link_.readSome(&input, busy ? 0 : POLL_MS);
  if (r < 0) return false;
  if (r > 0) decoder_.feed(input.data(), input.size());
  SelvomaPacket packet;
  for (FrameDecoder::Result result = decoder_.next(&packet); result != FrameDecoder::NEED_MORE;
       result = decoder_.next(&packet)) {
    handleFrame(packet, result);
    if (!link_.isOpen()) return false;
  }
  return sendPending();
}

void Instrument::handleControl() {
  std::deque<ControlCommand> commands;
  {
    std::lock_guard<std::mutex> lock(postMu_);
    commands.swap(posted_);
  }
  for (const ControlCommand& c : commands) {
    switch (c.kind) {
      case ControlCommand::TRIGGER: {
        hptime_t now = dataNow();
        SelTrigger trigger;
        trigger.time = static_cast<int32_t>(SelvomaPacket::hptimeToSelTime(now));
        trigger.usec = static_cast<uint32_t>(now % HPTMODULUS);
        trigger.channelMask = static_cast<uint8_t>((1u << config_.channels.size()) - 1);
        trigger.alarmType = static_cast<uint8_t>(c.number);
        uint8_t bytes[SEL_TRIGGER_LENGTH];
        trigger.toBytes(bytes);
        logLine("trigger %d", c.number);
        writeOriginated(SelvomaPacket::TRIGGER, bytes, static_cast<int>(sizeof bytes));
        break;
      }
      case ControlCommand::COMMAND:
        logLine("command [%s]", c.text.c_str());
        writeText(SelvomaPacket::COMMAND, c.text);
        break;
      case ControlCommand::GARBAGE: {
        std::vector<uint8_t> bytes(static_cast<size_t>(c.number));
        std::uniform_int_distribution<int> byte(0, UINT8_MAX);
        for (uint8_t& b : bytes) {
          do b = static_cast<uint8_t>(byte(garbageRng_));
          while (b == SELVOMA_SYNC);
        }
        logLine("garbage %d bytes", c.number);
        link_.writeAll(bytes.data(), bytes.size());
        break;
      }
      case ControlCommand::BADCHECK:
        logLine("the next frame gets a bad check word");
        badCheckNext_ = true;
        break;
      case ControlCommand::FOREIGN: {
        SelvomaPacket packet;
        if (!recent_.empty()) {
          packet.make(SelvomaPacket::MINISEED, c.stationId, hubId_, 0, recent_.back().record.data(),
                      SIM_RECORD_LENGTH);
        } else {
          packet.make(SelvomaPacket::COMMAND, c.stationId, hubId_, 0, FOREIGN_TEXT);
        }
        logLine("frame from foreign station id %08x", c.stationId);
        writeFrame(&packet, c.stationId);
        break;
      }
      case ControlCommand::DISCONNECT:
        logLine("disconnect");
        disconnectNow_ = true;
        break;
      case ControlCommand::SILENCE:
        logLine("silence for %d s", c.number);
        silentUntilMs_ = steadyMs() + c.number * MS_PER_S;
        break;
      case ControlCommand::NACK:
        logLine("NACK %d", c.number);
        writeControl(SelvomaPacket::NACK, static_cast<uint8_t>(c.number));
        break;
      case ControlCommand::FRAME:
        // Numbered like data, so that the hub sees no gap in the sequence.
        logLine("frame of type %02X", c.number);
        writeOriginated(static_cast<uint8_t>(c.number), nullptr, 0);
        break;
      case ControlCommand::REQUEST:
        logLine("request [%s]", c.text.c_str());
        writeText(SelvomaPacket::REQUEST_FILE, c.text);
        break;
      case ControlCommand::QUIT:
        requestStop();
        break;
    }
  }
}

void Instrument::handleFrame(const SelvomaPacket& packet, FrameDecoder::Result result) {
  if (config_.verbose) {
    logLine("R %s%s", packet.toString(1).c_str(),
            result == FrameDecoder::BAD_CHECK ? " BAD CHECK WORD" : "");
  }
  if (result == FrameDecoder::BAD_CHECK) {
    badFrames_++;
    writeControl(SelvomaPacket::NACK, packet.seqNo);
    return;
  }
  hubId_ = packet.sourceId;
  std::string text;
  if (packet.payloadLen() > 0) {
    text.assign(reinterpret_cast<const char*>(packet.payload()),
                static_cast<size_t>(packet.payloadLen()));
  }
  switch (packet.type) {
    case SelvomaPacket::IDENTIFY:
    case SelvomaPacket::IDENT_NL:
      if (!config_.identify) break;  // the data stream answers
      writeControl(SelvomaPacket::IDENTIFY, 0);
      state_ = WAIT_LINK_INIT;
      streaming_.store(false);
      break;
    case SelvomaPacket::LINK_INIT:
      writeControl(SelvomaPacket::LINK_INIT, 0);
      if (state_ != STREAMING) logLine("link started");
      state_ = STREAMING;
      streaming_.store(true);
      break;
    case SelvomaPacket::ACK:
      acks_++;
      noteAck(packet.seqNo);
      break;
    case SelvomaPacket::NACK:
      nacks_++;
      resendFrom(packet.seqNo);
      break;
    case SelvomaPacket::COMMAND:
      commands_++;
      handleCommand(text, packet.seqNo);
      break;
    case SelvomaPacket::REQUEST_FILE:
      requests_++;
      serveFile(text);
      break;
    case SelvomaPacket::REQUEST_FILE_TIME:
      requests_++;
      answerFileTime(text);
      break;
    case SelvomaPacket::START_SEND_FILE:
      writeControl(SelvomaPacket::ACK, packet.seqNo);
      takeUploadStart(packet);
      break;
    case SelvomaPacket::FILE_PART:
      writeControl(SelvomaPacket::ACK, packet.seqNo);
      takeUploadPart(packet);
      break;
    case SelvomaPacket::FLASH:
      takeFlashBlock(packet);
      break;
    default:
      // Broadcast triggers and anything unknown are taken and acknowledged.
      writeControl(SelvomaPacket::ACK, packet.seqNo);
      break;
  }
}

void Instrument::handleCommand(const std::string& text, uint8_t seqNo) {
  std::string key = SimSettings::queryKey(text);
  std::string value;
  if (!key.empty()) {
    writeText(SelvomaPacket::COMMAND, settings_->answer(key));
  } else if (startsWith(text, SLEEP_COMMAND)) {
    int seconds = atoi(text.c_str() + strlen(SLEEP_COMMAND));
    if (seconds > 0) sleepUntilMs_ = steadyMs() + seconds * MS_PER_S;
    writeControl(SelvomaPacket::ACK, seqNo);
  } else if (startsWith(text, STREAM_COMMAND)) {
    int seconds = atoi(text.c_str() + strlen(STREAM_COMMAND));
    if (seconds > 0) resendLast(seconds);
    writeControl(SelvomaPacket::ACK, seqNo);
  } else if (startsWith(text, DELETE_COMMAND)) {
    std::string path = text.substr(strlen(DELETE_COMMAND));
    bool removed = card_ && card_->removeFile(path);
    logLine("del %s: %s", path.c_str(), removed ? "removed" : "not found");
    writeControl(SelvomaPacket::ACK, seqNo);
  } else if (text.find('=') != std::string::npos) {
    std::string newValue;
    if (parseJsonLine(text, key, newValue)) {
      settings_->set(key, newValue);
      if (card_) card_->writeFile(SETTINGS_FILE_NAME, settings_->render());
      writeText(SelvomaPacket::COMMAND, settings_->answer(key));
    } else {
      writeControl(SelvomaPacket::ACK, seqNo);
    }
  } else if (settings_->get(text, &value)) {
    writeText(SelvomaPacket::COMMAND, settings_->answer(text));  // e.g. last_peak 0
  } else {
    writeControl(SelvomaPacket::ACK, seqNo);
  }
}

void Instrument::takeUploadStart(const SelvomaPacket& packet) {
  incoming_ = Incoming();
  if (packet.payloadLen() <= static_cast<int>(START_SEND_FILE_FIXED)) return;
  const uint8_t* p = packet.payload();
  for (int i = 0; i < 4; ++i) {
    incoming_.size |= uint32_t{p[i]} << (8 * i);
    incoming_.crc |= uint32_t{p[4 + i]} << (8 * i);
  }
  incoming_.name.assign(reinterpret_cast<const char*>(p) + START_SEND_FILE_FIXED,
                        static_cast<size_t>(packet.payloadLen()) - START_SEND_FILE_FIXED);
  incoming_.active = true;
  logLine("upload start %s size=%u", incoming_.name.c_str(), incoming_.size);
}

void Instrument::takeUploadPart(const SelvomaPacket& packet) {
  const int len = packet.payloadLen();
  if (len < static_cast<int>(FILE_PART_INDEX_LENGTH)) return;
  const uint8_t* p = packet.payload();
  const int number = p[0] | (p[1] << 8);
  if (number == 0 && !incoming_.active) {
    // A file this instrument asked for: its information part.
    incoming_ = Incoming();
    incoming_.active = true;
    logLine("requested file %s",
            std::string(reinterpret_cast<const char*>(p) + FILE_PART_INDEX_LENGTH,
                        static_cast<size_t>(len) - FILE_PART_INDEX_LENGTH)
                .c_str());
    return;
  }
  if (len > static_cast<int>(FILE_PART_INDEX_LENGTH)) {
    if (incoming_.active && incoming_.data.size() + static_cast<size_t>(len) <= CARD_FILE_MAX) {
      incoming_.data.insert(incoming_.data.end(), p + FILE_PART_INDEX_LENGTH, p + len);
    }
    return;
  }
  // The end part.
  const bool requested = incoming_.name.empty();
  const bool whole = incoming_.active && incoming_.data.size() == incoming_.size &&
                     CRC32(incoming_.data.data(), incoming_.data.size()) == incoming_.crc;
  if (requested) {
    logLine("requested file received: %zu bytes", incoming_.data.size());
  } else {
    bool stored =
        whole && card_ &&
        card_->writeFile(incoming_.name, std::string(incoming_.data.begin(), incoming_.data.end()));
    logLine("upload end %s: %zu bytes %s", incoming_.name.c_str(), incoming_.data.size(),
            whole ? (stored || !card_ ? "complete" : "not stored") : "damaged");
    writeText(SelvomaPacket::COMMAND, whole ? "rx status: 0" : "rx status: 1");
  }
  incoming_ = Incoming();
}

void Instrument::takeFlashBlock(const SelvomaPacket& packet) {
  const int len = packet.payloadLen();
  if (len < static_cast<int>(FLASH_BLOCK_FIXED)) {
    writeControl(SelvomaPacket::ACK, packet.seqNo);
    return;
  }
  const uint8_t* p = packet.payload();
  uint32_t index = 0, check = 0;
  for (int i = 0; i < 4; ++i) {
    index |= uint32_t{p[i]} << (8 * i);
    check |= uint32_t{p[4 + i]} << (8 * i);
  }
  uint32_t v = 0;
  for (int i = static_cast<int>(FLASH_BLOCK_FIXED); i < len; ++i) {
    v ^= p[i];
    v = (v >> 8) | (v << 24);
  }
  writeText(SelvomaPacket::COMMAND, sformat("flash_write %u %s", index, v == check ? "ok" : "bad"));
}

void Instrument::serveFile(const std::string& path) {
  std::vector<uint8_t> data;
  bool found = false;
  if (card_) {
    found = card_->readFile(path, &data);
  } else if (path == SETTINGS_FILE_NAME || "/" + path == SETTINGS_FILE_NAME) {
    std::string text = settings_->render();
    data.assign(text.begin(), text.end());
    found = true;
  }
  uint8_t piece[FILE_PART_INDEX_LENGTH + FILE_PART_MAX_DATA];
  if (!found) {
    logLine("REQUEST_FILE [%s]: no such file", path.c_str());
    putU16(piece, 0);
    memcpy(piece + FILE_PART_INDEX_LENGTH, NO_FILE_TEXT, strlen(NO_FILE_TEXT));
    writeOriginated(SelvomaPacket::FILE_PART, piece,
                    static_cast<int>(FILE_PART_INDEX_LENGTH + strlen(NO_FILE_TEXT)));
    return;
  }
  size_t pieceSize = path.size() >= strlen(MINISEED_SUFFIX) &&
                             path.compare(path.size() - strlen(MINISEED_SUFFIX), std::string::npos,
                                          MINISEED_SUFFIX) == 0
                         ? MINISEED_PIECE
                         : FILE_PIECE;
  uint16_t part = 1;
  for (size_t at = 0; at < data.size(); at += pieceSize, ++part) {
    size_t n = std::min(pieceSize, data.size() - at);
    putU16(piece, part);
    memcpy(piece + FILE_PART_INDEX_LENGTH, data.data() + at, n);
    if (!writeOriginated(SelvomaPacket::FILE_PART, piece,
                         static_cast<int>(FILE_PART_INDEX_LENGTH + n))) {
      return;
    }
  }
  putU16(piece, part);  // the end piece: no data
  writeOriginated(SelvomaPacket::FILE_PART, piece, static_cast<int>(FILE_PART_INDEX_LENGTH));
  logLine("REQUEST_FILE [%s]: %zu bytes in %u pieces", path.c_str(), data.size(), part - 1u);
}

void Instrument::answerFileTime(const std::string& text) {
  if (!card_) {
    writeText(SelvomaPacket::RESPONSE_FILE_NAME, NO_CARD_TEXT);
    return;
  }
  time_t t = strToTime_t(text.c_str());
  std::string path = t > 0 ? Card::minutePath(t, config_.station) : "";
  bool found = !path.empty() && card_->exists(path);
  logLine("REQUEST_FILE_TIME [%s]: %s", text.c_str(), found ? path.c_str() : NULL_NAME_TEXT);
  writeText(SelvomaPacket::RESPONSE_FILE_NAME, found ? path : NULL_NAME_TEXT);
}

hptime_t Instrument::dataNow() const {
  double elapsed = static_cast<double>(steadyMs() - steadyStartMs_) / MS_PER_S;
  return clockStart_ + static_cast<hptime_t>(elapsed * config_.speed * HPTMODULUS);
}

hptime_t Instrument::earliestEnd() {
  hptime_t best = 0;
  for (auto& r : recorders_) {
    hptime_t end = r->peekEnd();
    if (best == 0 || end < best) best = end;
  }
  return best;
}

Miniseed::Record Instrument::takeRecord(hptime_t* end, hptime_t* start) {
  ChannelRecorder* best = nullptr;
  for (auto& r : recorders_) {
    if (best == nullptr || r->peekEnd() < best->peekEnd()) best = r.get();
  }
  *end = best->peekEnd();
  *start = best->peekStart();
  return best->next();
}

void Instrument::produce() {
  if (recorders_.empty()) return;
  for (int made = 0; made < PRODUCE_BATCH; ++made) {
    if (config_.records > 0 && produced_ >= config_.records) return;
    if (config_.asFastAsPossible) {
      if (unsent_.size() >= AFAP_QUEUE_LOW) return;
    } else if (earliestEnd() > dataNow()) {
      return;
    }
    hptime_t end = 0, start = 0;
    Miniseed::Record r = takeRecord(&end, &start);
    if (card_) {
      card_->appendRecord(config_.station, r.data(), r.size(),
                          static_cast<time_t>(start / HPTMODULUS));
    }
    unsent_.push_back(r);
    if (unsent_.size() > UNSENT_MAX) unsent_.pop_front();
    ++produced_;
    recordsMade_++;
  }
}

bool Instrument::sendPending() {
  if (state_ != STREAMING || steadyMs() < sleepUntilMs_) return true;
  for (int sent = 0; sent < SEND_BATCH; ++sent) {
    bool again = !resend_.empty();
    if (!again && unsent_.empty()) break;
    Miniseed::Record record = again ? resend_.front() : unsent_.front();
    if (again) {
      resend_.pop_front();
    } else {
      unsent_.pop_front();
    }
    uint8_t seqNo = seq_;
    const long long sentUs = SendTimes::nowUs();
    if (!writeOriginated(SelvomaPacket::MINISEED, record.data(), SIM_RECORD_LENGTH)) return false;
    if (again) {
      resent_++;
      continue;
    }
    if (config_.sendTimes != nullptr)
      config_.sendTimes->note(config_.station, record.data(), sentUs);
    recent_.push_back(SentRecord{seqNo, false, Miniseed::getEndTime(record.data()), record});
    if (recent_.size() > RECENT_MAX) recent_.pop_front();
  }
  return true;
}

void Instrument::noteAck(uint8_t seqNo) {
  for (auto it = recent_.rbegin(); it != recent_.rend(); ++it) {
    if (it->seqNo == seqNo && !it->acked) {
      for (auto done = it; done != recent_.rend(); ++done) done->acked = true;
      return;
    }
  }
}

void Instrument::resendFrom(uint8_t seqNo) {
  for (size_t i = recent_.size(); i-- > 0;) {
    if (recent_[i].seqNo != seqNo) continue;
    logLine("NACK %u: re-sending %zu records", seqNo, recent_.size() - i);
    for (size_t k = i; k < recent_.size() && resend_.size() < RECENT_MAX; ++k) {
      resend_.push_back(recent_[k].record);
    }
    return;
  }
  logLine("NACK %u: no such data frame kept", seqNo);
}

void Instrument::resendLast(int seconds) {
  if (recent_.empty()) return;
  hptime_t from = recent_.back().end - static_cast<hptime_t>(seconds) * HPTMODULUS;
  size_t count = 0;
  for (const SentRecord& s : recent_) {
    if (s.end > from && resend_.size() < RECENT_MAX) {
      resend_.push_back(s.record);
      ++count;
    }
  }
  logLine("stream %d: re-sending %zu records", seconds, count);
}

uint8_t Instrument::nextSeq() {
  uint8_t s = seq_;
  seq_ = SelvomaPacket::incrementSeqNo(seq_);
  return s;
}

bool Instrument::writeFrame(SelvomaPacket* packet, uint32_t sourceId) {
  packet->sourceId = sourceId;
  packet->destId = hubId_;
  std::vector<uint8_t> bytes = encodeFrame(packet);
  if (bytes.empty()) return false;
  bool bad = badCheckNext_;
  if (bad) {
    for (size_t i = bytes.size() - SELVOMA_CHECK_LENGTH; i < bytes.size(); ++i) bytes[i] ^= 0xFF;
    badCheckNext_ = false;
  }
  if (config_.verbose) logLine("S %s%s", packet->toString(1).c_str(), bad ? " BAD CHECK WORD" : "");
  if (!link_.writeAll(bytes.data(), bytes.size())) return false;
  framesSent_++;
  return true;
}

bool Instrument::writeControl(uint8_t type, uint8_t seqNo) {
  SelvomaPacket packet;
  packet.make(type, config_.stationId, hubId_, seqNo);
  return writeFrame(&packet, config_.stationId);
}

bool Instrument::writeOriginated(uint8_t type, const uint8_t* bytes, int length) {
  SelvomaPacket packet;
  packet.make(type, config_.stationId, hubId_, nextSeq(), bytes, length);
  return writeFrame(&packet, config_.stationId);
}

bool Instrument::writeText(uint8_t type, const std::string& text) {
  return writeOriginated(type, reinterpret_cast<const uint8_t*>(text.data()),
                         static_cast<int>(text.size()));
}
