#include "SeedLink.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <utility>

#include "util/Text.h"

namespace {

constexpr int SL_ERRORS_MAX = 20;        // ERROR answers before the client is dropped
constexpr size_t FILL_SCAN_MAX = 20000;  // records looked at per fill
constexpr uint64_t SEQ_MASK = 0xFFFFFF;  // the wire carries 24 bits
constexpr size_t STATION_CODE_MAX = 5;
constexpr size_t NETWORK_CODE_MAX = 2;
constexpr size_t INFO_DATA_OFFSET = 56;
constexpr size_t INFO_BLOCKETTE_OFFSET = 48;
constexpr size_t INFO_TEXT_PER_RECORD = SL_RECORD_LENGTH - INFO_DATA_OFFSET;
constexpr uint8_t RECLEN_EXPONENT_512 = 9;

const std::pair<const char*, SlCommand::Kind> COMMANDS[] = {
    {"HELLO", SlCommand::HELLO}, {"CAT", SlCommand::CAT},         {"BYE", SlCommand::BYE},
    {"BATCH", SlCommand::BATCH}, {"STATION", SlCommand::STATION}, {"SELECT", SlCommand::SELECT},
    {"DATA", SlCommand::DATA},   {"FETCH", SlCommand::FETCH},     {"TIME", SlCommand::TIME},
    {"END", SlCommand::END},     {"INFO", SlCommand::INFO}};

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

bool isCodeText(const std::string& text, size_t maxLen) {
  if (text.empty() || text.size() > maxLen) return false;
  for (char c : text) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '?' && c != '*') return false;
  }
  return true;
}

bool isHexSeq(const std::string& text) {
  if (text.empty() || text.size() > 6) return false;
  return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

void putU16(uint8_t* out, unsigned v) {
  out[0] = static_cast<uint8_t>(v >> 8);
  out[1] = static_cast<uint8_t>(v);
}

std::string timeText(hptime_t t) {
  char text[32];
  if (ms_hptime2seedtimestr(t, text, 0) == nullptr) return std::string();
  return text;
}

}  // namespace

SlCommand parseSlCommand(const std::string& line) {
  SlCommand command;
  std::istringstream in(line);
  std::string word;
  if (!(in >> word)) return command;
  command.kind = SlCommand::UNKNOWN;
  const std::string name = upper(word);
  while (in >> word) {
    if (command.args.size() == SL_ARGS_MAX) return command;
    command.args.push_back(word);
  }
  for (const auto& entry : COMMANDS) {
    if (name == entry.first) command.kind = entry.second;
  }
  return command;
}

bool wildMatch(const std::string& pattern, const std::string& text) {
  // Iterative match with one backtrack point for '*': linear in practice,
  // never recursive on hostile patterns.
  size_t p = 0, t = 0, star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool parseSelector(const std::string& text, SlSelector* out) {
  SlSelector s;
  std::string body = upper(text);
  if (!body.empty() && body[0] == '!') {
    s.negate = true;
    body.erase(0, 1);
  }
  const size_t dot = body.find('.');
  if (dot != std::string::npos) {
    if (body.size() != dot + 2 || !isalpha(static_cast<unsigned char>(body[dot + 1]))) return false;
    s.type = body[dot + 1];
    body.erase(dot);
  }
  std::string location;
  if (body.size() == 5) {
    location = body.substr(0, 2);
    body.erase(0, 2);
    if (location == "--") {
      location = "  ";
    } else {
      for (char c : location) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '?') return false;
      }
    }
  } else if (body.size() == 3) {
    s.anyLocation = true;
  } else {
    return false;
  }
  for (char c : body) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '?') return false;
  }
  s.location = location;
  s.channel = body;
  *out = s;
  return true;
}

bool parseSlTime(const std::string& text, hptime_t* out) {
  int v[6];
  int used = 0;
  if (text.size() > 32 ||
      sscanf(text.c_str(), "%d,%d,%d,%d,%d,%d%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
             &used) != 6 ||
      static_cast<size_t>(used) != text.size()) {
    return false;
  }
  if (v[0] < 1970 || v[0] > 2999 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] < 0 ||
      v[3] > 23 || v[4] < 0 || v[4] > 59 || v[5] < 0 || v[5] > 60) {
    return false;
  }
  struct tm tm {};
  tm.tm_year = v[0] - 1900;
  tm.tm_mon = v[1] - 1;
  tm.tm_mday = v[2];
  tm.tm_hour = v[3];
  tm.tm_min = v[4];
  tm.tm_sec = v[5];
  *out = static_cast<hptime_t>(timegm(&tm)) * HPTMODULUS;
  return true;
}

SeedLinkSession::SeedLinkSession(const RecordStore& store, std::string serverId)
    : store_(store), serverId_(std::move(serverId)) {}

void SeedLinkSession::answer(bool ok, std::string* out) {
  if (!ok) {
    ++errors_;
    out->append("ERROR\r\n");
    endMessage(*out);
  } else if (!batch_) {
    out->append("OK\r\n");
    endMessage(*out);
  }
}

bool SeedLinkSession::setStart(const std::vector<std::string>& args, StationRequest* request,
                               bool time) {
  StationRequest r = *request;
  r.hasStart = true;
  r.begin = 0;
  r.end = 0;
  if (time) {
    if (args.empty() || args.size() > 2 || !parseSlTime(args[0], &r.begin)) return false;
    if (args.size() == 2 && !parseSlTime(args[1], &r.end)) return false;
    r.startSeq = store_.size() > 0 ? store_.at(0).seq : store_.nextSeq();
  } else if (args.empty()) {
    r.startSeq = store_.nextSeq();
  } else {
    if (args.size() > 2 || !isHexSeq(args[0])) return false;
    if (args.size() == 2 && !parseSlTime(args[1], &r.begin)) return false;
    const uint64_t wanted = std::stoull(args[0], nullptr, 16) & SEQ_MASK;
    r.startSeq = store_.size() > 0 ? store_.at(0).seq : store_.nextSeq();
    if ((store_.nextSeq() & SEQ_MASK) == wanted) r.startSeq = store_.nextSeq();
    for (size_t i = store_.size(); i > 0; --i) {
      if ((store_.at(i - 1).seq & SEQ_MASK) == wanted) {
        r.startSeq = store_.at(i - 1).seq;
        break;
      }
    }
  }
  *request = r;
  return true;
}

void SeedLinkSession::startStream() {
  streaming_ = true;
  cursor_ = store_.nextSeq();
  for (const StationRequest& r : requests_) {
    if (r.hasStart) cursor_ = std::min(cursor_, r.startSeq);
  }
}

bool SeedLinkSession::receive(const char* bytes, size_t length, std::string* out) {
  for (size_t i = 0; i < length; ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      const bool go = handleLine(line_, out);
      line_.clear();
      if (!go) {
        why_ = "ended";
        return false;
      }
    } else if (line_.size() >= SL_LINE_MAX) {
      why_ = "command line too long";
      return false;
    } else {
      line_.push_back(c);
    }
  }
  return true;
}

bool SeedLinkSession::receiveMessage(const char* bytes, size_t length, std::string* out) {
  static constexpr char LINE_END = '\r';
  if (!receive(bytes, length, out)) return false;
  return line_.empty() || receive(&LINE_END, 1, out);
}

bool SeedLinkSession::handleLine(const std::string& line, std::string* out) {
  if (line.size() > SL_LINE_MAX) return false;
  const SlCommand command = parseSlCommand(line);
  const bool uniMode = current_ < 0;
  switch (command.kind) {
    case SlCommand::EMPTY:
      return true;
    case SlCommand::HELLO:
      out->append(std::string(SL_SOFTWARE) + " :: SLPROTO:3.1 CAP BATCH\r\n" + serverId_ + "\r\n");
      endMessage(*out);
      return true;
    case SlCommand::BYE:
      return false;
    case SlCommand::BATCH:
      answer(command.args.empty(), out);
      batch_ = batch_ || command.args.empty();
      return true;
    case SlCommand::CAT: {
      std::map<std::pair<std::string, std::string>, bool> stations;
      for (size_t i = 0; i < store_.size(); ++i) {
        stations[{store_.at(i).header.network, store_.at(i).header.station}] = true;
      }
      for (const auto& s : stations) {
        out->append(sformat("%-2s %-5s\r\n", s.first.first.c_str(), s.first.second.c_str()));
      }
      out->append("END");
      endMessage(*out);
      return true;
    }
    case SlCommand::STATION: {
      const bool ok = !streaming_ && !command.args.empty() && command.args.size() <= 2 &&
                      isCodeText(command.args[0], STATION_CODE_MAX) &&
                      (command.args.size() == 1 || isCodeText(command.args[1], NETWORK_CODE_MAX)) &&
                      requests_.size() < SL_STATIONS_MAX;
      if (ok) {
        StationRequest r;
        r.station = upper(command.args[0]);
        r.network = command.args.size() == 2 ? upper(command.args[1]) : "*";
        requests_.push_back(r);
        current_ = static_cast<int>(requests_.size()) - 1;
      }
      answer(ok, out);
      break;
    }
    case SlCommand::SELECT: {
      if (uniMode && requests_.empty()) requests_.emplace_back();
      StationRequest& r = uniMode ? requests_.front() : requests_[static_cast<size_t>(current_)];
      bool ok = !streaming_ && command.args.size() <= 1;
      if (ok && command.args.empty()) {
        r.selectors.clear();
      } else if (ok) {
        SlSelector s;
        ok = parseSelector(command.args[0], &s) && r.selectors.size() < SL_SELECTORS_MAX;
        if (ok) r.selectors.push_back(s);
      }
      answer(ok, out);
      break;
    }
    case SlCommand::DATA:
    case SlCommand::FETCH:
    case SlCommand::TIME: {
      if (uniMode && requests_.empty()) requests_.emplace_back();
      StationRequest& r = uniMode ? requests_.front() : requests_[static_cast<size_t>(current_)];
      const bool ok = !streaming_ && setStart(command.args, &r, command.kind == SlCommand::TIME);
      if (ok && command.kind == SlCommand::FETCH) dialup_ = true;
      if (ok && uniMode) {
        startStream();  // uni-station mode: the data follow at once
      } else {
        answer(ok, out);
      }
      break;
    }
    case SlCommand::END:
      if (streaming_ || current_ < 0) {
        answer(false, out);
      } else {
        startStream();
      }
      break;
    case SlCommand::INFO:
      if (command.args.size() == 1) {
        const std::string text = infoXml(upper(command.args[0]));
        if (!text.empty()) {
          const std::string packets = makeInfoPackets(text);
          for (size_t at = 0; at < packets.size(); at += SL_HEADER_LENGTH + SL_RECORD_LENGTH) {
            out->append(packets, at, SL_HEADER_LENGTH + SL_RECORD_LENGTH);
            endMessage(*out);
          }
          return true;
        }
      }
      answer(false, out);
      break;
    case SlCommand::UNKNOWN:
      answer(false, out);
      break;
  }
  return errors_ <= SL_ERRORS_MAX;
}

bool SeedLinkSession::wants(const StoredRecord& record) const {
  const RecordHeader& h = record.header;
  std::string location = h.location;
  location.resize(2, ' ');
  for (const StationRequest& r : requests_) {
    if (!r.hasStart || record.seq < r.startSeq) continue;
    if (!wildMatch(r.network, h.network) || !wildMatch(r.station, h.station)) continue;
    if (r.begin != 0 && h.end <= r.begin) continue;
    if (r.end != 0 && h.start >= r.end) continue;
    bool anyPositive = false, positiveHit = false, negativeHit = false;
    for (const SlSelector& s : r.selectors) {
      const bool hit = (s.type == 0 || s.type == 'D') &&
                       (s.anyLocation || wildMatch(s.location, location)) &&
                       wildMatch(s.channel, h.channel);
      if (s.negate) {
        negativeHit = negativeHit || hit;
      } else {
        anyPositive = true;
        positiveHit = positiveHit || hit;
      }
    }
    if ((!anyPositive || positiveHit) && !negativeHit) return true;
  }
  return false;
}

bool SeedLinkSession::fill(std::string* out, size_t maxBytes) {
  if (!streaming_) return true;
  size_t index = store_.lowerBound(cursor_);
  for (size_t looked = 0; out->size() < maxBytes && looked < FILL_SCAN_MAX; ++looked, ++index) {
    if (index >= store_.size()) {
      if (dialup_) {
        out->append("END");
        endMessage(*out);
        return false;
      }
      return true;
    }
    const StoredRecord& record = store_.at(index);
    cursor_ = record.seq + 1;
    if (!wants(record)) continue;
    out->append(sformat("SL%06X", static_cast<unsigned>(record.seq & SEQ_MASK)));
    out->append(reinterpret_cast<const char*>(record.data.data()), SL_RECORD_LENGTH);
    endMessage(*out);
    ++recordsSent_;
  }
  return true;
}

std::string SeedLinkSession::infoXml(const std::string& level) const {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<seedlink software=\"" +
                    escapeXml(SL_SOFTWARE) + "\" organization=\"" + escapeXml(serverId_) + "\"";
  if (level == "ID") return xml + "/>\n";
  if (level == "CAPABILITIES") {
    xml += ">\n";
    for (const char* name : {"dialup", "multistation", "window-extraction", "info:id",
                             "info:capabilities", "info:stations", "info:streams"}) {
      xml += sformat("<capability name=\"%s\"/>\n", name);
    }
    return xml + "</seedlink>\n";
  }
  if (level != "STATIONS" && level != "STREAMS") return std::string();
  struct Stream {
    hptime_t begin, end;
  };
  struct Station {
    uint64_t first, last;
    std::map<std::pair<std::string, std::string>, Stream> streams;
  };
  std::map<std::pair<std::string, std::string>, Station> stations;
  for (size_t i = 0; i < store_.size(); ++i) {
    const StoredRecord& r = store_.at(i);
    auto inserted = stations.insert({{r.header.network, r.header.station}, {r.seq, r.seq, {}}});
    Station& s = inserted.first->second;
    s.last = r.seq;
    auto stream =
        s.streams.insert({{r.header.location, r.header.channel}, {r.header.start, r.header.end}});
    stream.first->second.end = std::max(stream.first->second.end, r.header.end);
  }
  xml += ">\n";
  for (const auto& entry : stations) {
    if (xml.size() > SL_INFO_BYTES_MAX) break;
    const Station& s = entry.second;
    xml += sformat(
        "<station name=\"%s\" network=\"%s\" description=\"\" begin_seq=\"%06X\" "
        "end_seq=\"%06X\" stream_check=\"enabled\"",
        escapeXml(entry.first.second).c_str(), escapeXml(entry.first.first).c_str(),
        static_cast<unsigned>(s.first & SEQ_MASK), static_cast<unsigned>(s.last & SEQ_MASK));
    if (level == "STATIONS") {
      xml += "/>\n";
      continue;
    }
    xml += ">\n";
    for (const auto& stream : s.streams) {
      xml += sformat(
          "<stream location=\"%s\" seedname=\"%s\" type=\"D\" begin_time=\"%s\" "
          "end_time=\"%s\"/>\n",
          escapeXml(stream.first.first).c_str(), escapeXml(stream.first.second).c_str(),
          timeText(stream.second.begin).c_str(), timeText(stream.second.end).c_str());
    }
    xml += "</station>\n";
  }
  return xml + "</seedlink>\n";
}

std::string makeInfoPackets(const std::string& text) {
  std::string packets;
  const time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  for (size_t pos = 0; pos < text.size(); pos += INFO_TEXT_PER_RECORD) {
    const size_t n = std::min(INFO_TEXT_PER_RECORD, text.size() - pos);
    const bool last = pos + n >= text.size();
    uint8_t record[SL_RECORD_LENGTH] = {};
    memcpy(record, "000000D INFO   INFSL", 20);
    putU16(record + 20, static_cast<unsigned>(tm.tm_year + 1900));
    putU16(record + 22, static_cast<unsigned>(tm.tm_yday + 1));
    record[24] = static_cast<uint8_t>(tm.tm_hour);
    record[25] = static_cast<uint8_t>(tm.tm_min);
    record[26] = static_cast<uint8_t>(tm.tm_sec);
    putU16(record + 30, static_cast<unsigned>(n));
    record[39] = 1;  // one blockette
    putU16(record + 44, INFO_DATA_OFFSET);
    putU16(record + 46, INFO_BLOCKETTE_OFFSET);
    putU16(record + 48, 1000);
    record[52] = 0;  // ASCII text
    record[53] = 1;  // big-endian
    record[54] = RECLEN_EXPONENT_512;
    memcpy(record + INFO_DATA_OFFSET, text.data() + pos, n);
    packets.append(last ? "SLINFO  " : "SLINFO *");
    packets.append(reinterpret_cast<const char*>(record), sizeof record);
  }
  return packets;
}
