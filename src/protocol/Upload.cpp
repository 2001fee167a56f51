#include "protocol/Upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/Log.h"
#include "core/PropertyFile.h"
#include "protocol/Flash.h"
#include "util/Console.h"
#include "util/Crc32.h"
#include "util/DirScan.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char PKT_SUFFIX[] = ".pkt";
constexpr char UNKNOWN_NAME[] = "UNKNOWN";
constexpr char COMMAND_PREFIX[] = "8A ";
constexpr size_t QUERY_MIN = 3;  // "?" bodies longer than 2 become queries

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends the little-endian bytes of a [hex] token of 2, 4 or 8 digits.
void appendHexToken(const std::string& digits, std::vector<uint8_t>* out) {
  const size_t n = digits.size();
  bool hex = !digits.empty();
  for (char c : digits) hex = hex && hexValue(c) >= 0;
  if (!hex || (n != 2 && n != 4 && n != 8)) {
    pprintf("BAD INTEGER LENGTH len=%d value=%s\n", static_cast<int>(n), digits.c_str());
    return;
  }
  uint32_t v = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
  for (size_t i = 0; i < n / 2; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The payload of a body of any type but COMMAND: "text" and [hex] tokens.
std::vector<uint8_t> scanBody(const std::string& body) {
  const std::string scan = body.substr(0, PKT_BODY_SCAN_MAX);
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < scan.size()) {
    if (scan[i] == '"') {
      size_t end = scan.find('"', i + 1);
      if (end == std::string::npos) end = scan.size();
      out.insert(out.end(), scan.begin() + static_cast<long>(i) + 1,
                 scan.begin() + static_cast<long>(end));
      i = end + 1;
    } else if (scan[i] == '[') {
      size_t end = scan.find(']', i + 1);
      if (end == std::string::npos) break;
      appendHexToken(scan.substr(i + 1, end - i - 1), &out);
      i = end + 1;
    } else {
      ++i;
    }
  }
  if (out.empty()) out.assign(body.begin(), body.end());
  return out;
}

std::string commandBody(const std::string& body) {
  const std::string used = body.substr(0, PKT_COMMAND_MAX);
  if (used.size() >= QUERY_MIN && used[0] == '?') return "? \"" + used.substr(2) + "\"";
  if (used.find('=') != std::string::npos) {
    std::string quoted;
    if (PropertyFile::putQuotesOnKey(used, quoted, PKT_COMMAND_MAX + 1)) return quoted;
  }
  return used;
}

// A name the hub may hand to the instrument: printable, no separators.
bool usableName(const std::string& name) {
  if (name.empty() || name.size() > UPLOAD_NAME_MAX) return false;
  for (char c : name) {
    if (!isPrintableAscii(c) || c == '/' || c == '\\') return false;
  }
  return true;
}

void putU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::unique_ptr<SelvomaPacket> filePart(uint16_t number, const uint8_t* data, size_t n) {
  std::vector<uint8_t> payload(FILE_PART_INDEX_LENGTH + n);
  payload[0] = static_cast<uint8_t>(number & 0xff);
  payload[1] = static_cast<uint8_t>(number >> 8);
  if (n > 0) memcpy(payload.data() + FILE_PART_INDEX_LENGTH, data, n);
  auto packet = std::make_unique<SelvomaPacket>();
  packet->make(SelvomaPacket::FILE_PART, 0, 0, 0, payload.data(), static_cast<int>(payload.size()));
  return packet;
}

}  // namespace

Upload::Upload() = default;

Upload::~Upload() = default;

int64_t Upload::nowMs() const { return clock_ ? clock_() : getMillisec(); }

std::unique_ptr<SelvomaPacket> Upload::parsePkt(const std::string& line) {
  if (line.size() < 2 || !isPrintableAscii(line[0])) return nullptr;
  const int high = hexValue(line[0]);
  const int low = hexValue(line[1]);
  const uint8_t type = static_cast<uint8_t>(high < 0 || low < 0 ? 0 : high * 16 + low);
  if (high < 0 || low < 0 || SelvomaPacket::messageName(type).rfind(UNKNOWN_NAME, 0) == 0) {
    return parsePkt(COMMAND_PREFIX + line);
  }
  auto packet = std::make_unique<SelvomaPacket>();
  const char localMark = line.size() > PKT_FLAG_AT ? line[PKT_FLAG_AT] : ' ';
  std::string body = line.size() > PKT_BODY_AT ? line.substr(PKT_BODY_AT) : "";
  while (!body.empty() && body.back() == ' ') body.pop_back();
  if (type == SelvomaPacket::COMMAND) {
    packet->make(type, 0, 0, 0, commandBody(body));
  } else {
    std::vector<uint8_t> payload = scanBody(body);
    packet->make(type, 0, 0, 0, payload.data(), static_cast<int>(payload.size()));
  }
  packet->local = localMark == '-' || localMark == 'l' || localMark == 'L';
  return packet;
}

bool Upload::addPktString(const std::string& text, std::string* error) {
  std::vector<std::string> all;
  if (!splitTextLines(text, &all)) {
    *error = "not a text file";
    return false;
  }
  std::vector<std::string> lines;
  size_t number = 0;
  for (const std::string& line : all) {
    ++number;
    if (line.size() > PKT_LINE_MAX) {
      *error = sformat("line %zu longer than %zu characters", number, PKT_LINE_MAX);
      return false;
    }
    if (line.empty()) continue;
    if (lines.size() == PKT_MAX_LINES) {
      *error = sformat("more than %zu lines", PKT_MAX_LINES);
      return false;
    }
    lines.push_back(line);
  }
  for (const std::string& line : lines) {
    // A tab ends the line like every character outside the printable range.
    std::unique_ptr<SelvomaPacket> packet = parsePkt(line.substr(0, line.find('\t')));
    if (!packet) {
      pprintf("pkt==NULL\n\n");
      logLine(log_, LOG_ADD, "Upload: no frame in line [%s]", line.c_str());
      continue;
    }
    fileLast_ = packet.get();
    addPacket(std::move(packet));
  }
  return true;
}

void Upload::setAside(const std::string& path, const std::string& reason) {
  const std::string aside = path + UPLOAD_ASIDE_SUFFIX;
  if (rename(path.c_str(), aside.c_str()) != 0) removeFile(path);
  logLine(log_, LOG_ADD, "Upload set aside [%s]: %s", path.c_str(), reason.c_str());
}

bool Upload::getFilePath(const std::string& station, std::string* path) {
  if (station.size() < UPLOAD_STATION_MIN || station.size() > UPLOAD_STATION_MAX) return false;
  const std::string folder = getUploadDir(station);
  if (nothingToSend_.unchanged(folder)) return false;
  nothingToSend_.note(folder);
  std::vector<std::string> all, pkts;
  forEachEntry(folder, UPLOAD_SCAN_MAX, [&](const char* name, const std::string& entry) {
    if (!isFile(entry)) return true;
    all.push_back(name);
    if (endsWith(name, PKT_SUFFIX)) pkts.push_back(name);
    return true;
  });
  std::vector<std::string>& names = pkts.empty() ? all : pkts;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string file = folder + name;
    if (name.find(UPLOAD_SENT_MARK) != std::string::npos) {
      if (fileAge(file) > UPLOAD_SENT_KEEP_SECS) removeFile(file);
      continue;
    }
    if (endsWith(name, UPLOAD_ASIDE_SUFFIX)) continue;
    if (name.find("Selvoma") != std::string::npos && name.find(".bin") != std::string::npos) {
      const std::string image = folder + FIRMWARE_NAME;
      if (file != image && rename(file.c_str(), image.c_str()) == 0) file = image;
    }
    if (file.size() > UPLOAD_PATH_MAX) continue;
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) continue;
    fclose(f);
    *path = file;
    nothingToSend_.forget();
    return true;
  }
  return false;
}

bool Upload::getFile(const std::string& station) {
  std::string path;
  if (!getFilePath(station, &path)) return false;
  pprintf("getFile %s\n", path.c_str());
  if (textFlash_ && path.find(FIRMWARE_NAME) != std::string::npos) {
    pprintf("strstr %s\n", path.c_str());
    const std::string folder = path.substr(0, path.size() - strlen(FIRMWARE_NAME));
    std::vector<std::string> outPaths;
    const int lines = Fwu::run(folder, &outPaths, log_);
    logLine(log_, LOG_ADD, "Text flash [%s]: %d lines in %zu files", path.c_str(), lines,
            outPaths.size());
    return false;
  }
  logLine(log_, LOG_ADD, "Upload reading file [%s]", path.c_str());
  inProgress_ = true;
  if (!makePendingPackets(path, station)) return false;
  loadedPath_ = path;
  markSent(path);
  sentPath_ = getLatestSent();
  return hasPackets();
}

bool Upload::makePendingPackets(const std::string& path, const std::string& station) {
  if (path.size() <= station.size() + 8) return false;
  touchFile(path, UPLOAD_TOUCH_AGO_SECS);
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!usableName(base)) {
    setAside(path, "unusable name");
    return false;
  }
  const long long size = getFileSize(path);
  if (size > UPLOAD_FILE_MAX) {
    setAside(path, sformat("%lld bytes, more than %lld", size, UPLOAD_FILE_MAX));
    return false;
  }
  std::vector<uint8_t> data;
  long long len = readFile(path, data);
  if (len < 0) {
    sleepu(1000L * UPLOAD_REREAD_WAIT_MS);
    len = readFile(path, data);
  }
  if (len < 1) {
    logLine(log_, LOG_ADD, "Upload cannot read [%s] len=%lld", path.c_str(), len);
    if (len == 0) setAside(path, "empty");
    return false;
  }
  if (len > UPLOAD_FILE_MAX || getFileSize(path) != len) {
    setAside(path, "changed while it was read");
    return false;
  }
  const std::string name = "/" + base;
  if (name.find(PKT_SUFFIX) != std::string::npos) {
    std::string error;
    if (!addPktString(std::string(data.begin(), data.end()), &error)) {
      setAside(path, error);
      return false;
    }
    currentName_ = name;
    return true;
  }
  if (name.find(FIRMWARE_NAME) != std::string::npos) {
    clearPackets();
    addCommand("sampling 0");
    addCommand("sleep 10");
    addCommand(std::string("del /") + FIRMWARE_NAME);
    addCommand("sleep 5");
  }
  std::vector<uint8_t> start(START_SEND_FILE_FIXED + name.size());
  putU32(start.data(), static_cast<uint32_t>(len));
  putU32(start.data() + 4, CRC32(data.data(), data.size()));
  memcpy(start.data() + START_SEND_FILE_FIXED, name.data(), name.size());
  auto packet = std::make_unique<SelvomaPacket>();
  packet->make(SelvomaPacket::START_SEND_FILE, 0, 0, 0, start.data(),
               static_cast<int>(start.size()));
  addPacket(std::move(packet));
  uint16_t number = 1;
  for (size_t at = 0; at < data.size(); at += UPLOAD_PART_DATA, ++number) {
    addPacket(filePart(number, data.data() + at, std::min(UPLOAD_PART_DATA, data.size() - at)));
  }
  std::unique_ptr<SelvomaPacket> end = filePart(number, nullptr, 0);
  fileLast_ = end.get();
  addPacket(std::move(end));
  currentName_ = name;
  return true;
}

int Upload::numPackets(const std::string& station) {
  if (!hasPackets()) getFile(station);
  return numPackets();
}

bool Upload::hasPackets(const std::string& station) { return numPackets(station) > 0; }

void Upload::taken(const SelvomaPacket* packet) {
  if (packet == nullptr || packet != fileLast_) return;
  fileLast_ = nullptr;
  loadedPath_.clear();
  sentPath_.clear();
}

std::unique_ptr<SelvomaPacket> Upload::getNextPacket(const std::string& station, uint8_t seqNo) {
  const int64_t now = nowMs();
  const int64_t elapsed = now - lastSendMs_;
  if (elapsed > curWaitMs_) {
    acked_ = true;
  } else if (!acked_) {
    return nullptr;
  }
  if (elapsed < waitStepMs_) return nullptr;
  if (packets_.empty()) getFile(station);
  if (packets_.empty()) {
    lastSendMs_ = now;
    return nullptr;
  }
  curWaitMs_ = maxWaitMs_;
  const SelvomaPacket& head = *packets_.front();
  bool holdReboot = false;
  if (head.type == SelvomaPacket::COMMAND) {
    const std::string text = head.textPayload(0, UPLOAD_COMMAND_PEEK_CHARS);
    if (text.find("sleep ") != std::string::npos) {
      lastSendMs_ = now + UPLOAD_SLEEP_MS;
      logLine(log_, LOG_ADD, "Upload Sleep");
      taken(packets_.front().get());
      packets_.pop_front();
      return nullptr;
    }
    if (text.find("sampling 0") != std::string::npos || text.find("del") != std::string::npos) {
      std::unique_ptr<SelvomaPacket> packet = std::move(packets_.front());
      packets_.pop_front();
      taken(packet.get());
      return packet;
    }
    curWaitMs_ = UPLOAD_COMMAND_WAIT_MS;
    holdReboot = text.find("reboot") != std::string::npos;
  }
  std::unique_ptr<SelvomaPacket> packet = nextPacketType(SelvomaPacket::START_SEND_FILE);
  if (!packet) packet = nextPacketType(SelvomaPacket::FILE_PART);
  if (!packet) {
    if (holdReboot && elapsed - UPLOAD_REBOOT_HOLD_MS < waitStepMs_) return nullptr;
    packet = std::move(packets_.front());
    packets_.pop_front();
  }
  taken(packet.get());
  packet->seqNo = seqNo;
  ackSeqNo_ = seqNo;
  acked_ = false;
  if (!uploadDir_.empty()) deleteOldFiles(uploadDir_, UPLOAD_OLD_FILE_SECS);
  lastSendMs_ = now;
  return packet;
}

std::unique_ptr<SelvomaPacket> Upload::nextPacketType(uint8_t type) {
  for (auto it = packets_.begin(); it != packets_.end(); ++it) {
    if ((*it)->type != type) continue;
    std::unique_ptr<SelvomaPacket> packet = std::move(*it);
    packets_.erase(it);
    return packet;
  }
  return nullptr;
}

bool Upload::hasFileParts() const {
  for (const auto& packet : packets_) {
    if (packet->type == SelvomaPacket::FILE_PART) return true;
  }
  return false;
}

void Upload::finishOff() {
  inProgress_ = false;
  // The instrument refused the file: it is not sent again by itself.
  taken(fileLast_);
  if (packets_.size() <= 1) return;
  std::unique_ptr<SelvomaPacket> endMark = std::move(packets_.back());
  FilePart part;
  uint16_t number = endMark->getFilePart(&part) ? part.partNumber : 0;
  uint8_t index[FILE_PART_INDEX_LENGTH] = {static_cast<uint8_t>(number & 0xff),
                                           static_cast<uint8_t>(number >> 8)};
  endMark->make(SelvomaPacket::FILE_PART, endMark->sourceId, endMark->destId, endMark->seqNo, index,
                FILE_PART_INDEX_LENGTH);
  packets_.clear();
  packets_.push_back(std::move(endMark));
  addCommand("sampling 1");
  addCommand("sleep");
}

void Upload::clearPackets() {
  taken(fileLast_);
  PacketList::clearPackets();
}

void Upload::restoreUnfinished() {
  if (fileLast_ != nullptr && !sentPath_.empty() && !isFile(loadedPath_) &&
      rename(sentPath_.c_str(), loadedPath_.c_str()) == 0) {
    logLine(log_, LOG_ADD, "Upload unfinished: [%s] is sent again by the next session",
            loadedPath_.c_str());
  }
  clearPackets();
}
