#include "hub/HubStatus.h"

#include <sys/statvfs.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "archive/MinuteZip.h"
#include "core/Log.h"
#include "core/Version.h"
#include "core/VhProps.h"
#include "hub/LinkThreads.h"
#include "util/Dirs.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "util/Usb.h"

namespace {

constexpr char USB_CODE[] = "%USB";
constexpr char HOME_CODE[] = "%U";
constexpr char TIME_FORMAT[] = "%Y-%m-%dT%H:%M:%SZ";
constexpr char METRIC_PREFIX[] = "vorlanhub_";
constexpr unsigned char PRINTABLE_FIRST = 0x20;
constexpr unsigned char PRINTABLE_LAST = 0x7e;
constexpr double EXACT_INTEGER_LIMIT = 9007199254740992.0;  // 2^53: doubles hold integers exactly

// A time as JSON: a quoted UTC text, or null for 0 (not known).
std::string jsonTime(time_t t) {
  return t == 0 ? std::string("null") : "\"" + formatUtc(t, TIME_FORMAT) + "\"";
}

// A measured value as JSON: null when it is not a finite number.
std::string jsonNumber(double value) {
  return std::isfinite(value) ? sformat("%.2f", value) : std::string("null");
}

// An action name without its padding blanks.
std::string actionText(int action) {
  std::string name = Gap::actionName(action);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

// One metric family: its HELP and TYPE lines, then the samples added.
class Family {
 public:
  Family(std::string* out, const char* name, const char* help) : out_(out), name_(name) {
    *out_ += sformat("# HELP %s%s %s\n# TYPE %s%s gauge\n", METRIC_PREFIX, name, help,
                     METRIC_PREFIX, name);
  }
  // labels: "key=\"value\",..." already escaped; empty for none.
  void sample(const std::string& labels, double value) {
    std::string number;
    if (!std::isfinite(value)) {
      number = "NaN";
    } else if (value == std::floor(value) && std::fabs(value) < EXACT_INTEGER_LIMIT) {
      number = sformat("%.0f", value);
    } else {
      number = sformat("%.6g", value);  // measured values of the instrument's settings
    }
    *out_ += std::string(METRIC_PREFIX) + name_ + (labels.empty() ? "" : "{" + labels + "}") + " " +
             number + "\n";
  }

 private:
  std::string* out_;
  const char* name_;
};

std::string linkLabels(const LinkSnapshot& s) {
  return "station=\"" + metricsLabelEscape(s.station) + "\",link=\"" + metricsLabelEscape(s.link) +
         "\"";
}

}  // namespace

std::string archiveFolderOf(const std::string& pathTemplate) {
  std::string text = pathTemplate;
  // "%USB" may follow one leading '/' (the Pi mode's "/%USB/...").
  const size_t at = text.rfind(USB_CODE, 1);
  if (at != std::string::npos && at <= 1) {
    text = Usb::firstDrive() + "/" + text.substr(at + strlen(USB_CODE));
  } else if (text.rfind(HOME_CODE, 0) == 0) {
    text = HOMEDIR + text.substr(strlen(HOME_CODE));
  }
  const size_t code = text.find('%');
  if (code != std::string::npos) text = text.substr(0, code);
  const size_t slash = text.rfind('/');
  text = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
  return text.empty() ? std::string(".") : text;
}

ArchiveDisk diskOf(const std::string& archive, const std::string& folder) {
  ArchiveDisk disk;
  disk.archive = archive;
  disk.folder = folder;
  std::string path = folder;
  for (;;) {
    struct statvfs fs;
    if (!path.empty() && statvfs(path.c_str(), &fs) == 0) {
      disk.known = true;
      disk.freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
      disk.totalBytes = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
      return disk;
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (path.empty() || path == ".") return disk;
    path = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  }
}

HubFigures gatherHubFigures(VhProps* props, int64_t startSteadySeconds) {
  HubFigures hub;
  hub.now = time(nullptr);
  const int64_t nowSteady = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
  hub.uptimeSeconds = static_cast<long>(nowSteady - startSteadySeconds);
  hub.links = LinkThreads::instance().runningLinks();
  hub.zipQueue = MinuteZip::running();
  hub.logErrorsLastHour = logErrorsLastHour(hub.now);
  if (props != nullptr) {
    for (int i = 0; i < ARCHIVE_COUNT; ++i) {
      const std::string pathTemplate = props->getArchiveTemplate(i);
      if (pathTemplate.empty()) continue;
      hub.disks.push_back(diskOf(sformat("archive%d", i + 1), archiveFolderOf(pathTemplate)));
    }
  }
  return hub;
}

std::string jsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < PRINTABLE_FIRST || c > PRINTABLE_LAST) {
      out += sformat("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string metricsLabelEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < PRINTABLE_FIRST || c > PRINTABLE_LAST) {
      out += '?';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string renderStatusJson(const HubFigures& hub, const std::vector<LinkStatus>& links) {
  std::string out = "{\n";
  out += sformat("  \"written\": %s,\n  \"version\": %d,\n", jsonTime(hub.now).c_str(),
                 VORLANHUB_VERSION);
  out += sformat(
      "  \"hub\": {\"uptime_seconds\": %ld, \"links\": %d, \"zip_queue\": %d, "
      "\"log_errors_last_hour\": %d, \"disks\": [",
      hub.uptimeSeconds, hub.links, hub.zipQueue, hub.logErrorsLastHour);
  for (size_t i = 0; i < hub.disks.size(); ++i) {
    const ArchiveDisk& d = hub.disks[i];
    out += sformat("%s{\"archive\": \"%s\", \"folder\": \"%s\", ", i == 0 ? "" : ", ",
                   jsonEscape(d.archive).c_str(), jsonEscape(d.folder).c_str());
    out += d.known ? sformat("\"free_bytes\": %llu, \"size_bytes\": %llu}",
                             static_cast<unsigned long long>(d.freeBytes),
                             static_cast<unsigned long long>(d.totalBytes))
                   : std::string("\"free_bytes\": null, \"size_bytes\": null}");
  }
  out += "]},\n  \"stations\": [";
  for (size_t i = 0; i < links.size(); ++i) {
    const LinkSnapshot& s = links[i].snapshot;
    out += i == 0 ? "\n" : ",\n";
    out += sformat("    {\"station\": \"%s\", \"link\": \"%s\", \"since\": %s, ",
                   jsonEscape(s.station).c_str(), jsonEscape(s.link).c_str(),
                   jsonTime(s.since).c_str());
    out += sformat("\"last_data\": %s, \"lag_seconds\": %s, ", jsonTime(s.lastData).c_str(),
                   s.lastData == 0 ? "null" : sformat("%ld", s.lagSeconds).c_str());
    out += sformat("\"records_today\": %llu, \"bytes_today\": %llu, \"gaps_pending\": {",
                   static_cast<unsigned long long>(links[i].recordsToday),
                   static_cast<unsigned long long>(links[i].bytesToday));
    bool first = true;
    for (int a = 0; a < Gap::ACTION_COUNT; ++a) {
      if (s.gaps[a] == 0) continue;
      out +=
          sformat("%s\"%s\": %d", first ? "" : ", ", jsonEscape(actionText(a)).c_str(), s.gaps[a]);
      first = false;
    }
    out += sformat("}, \"backfill\": {\"active\": %s, \"file\": \"%s\"}, ",
                   s.backfill ? "true" : "false", jsonEscape(s.backfillFile).c_str());
    out += sformat("\"uploads_waiting\": %d, \"settings\": {\"build\": %s, ", s.uploadsWaiting,
                   s.build == LINK_BUILD_UNKNOWN ? "null" : sformat("%ld", s.build).c_str());
    out += "\"voltage\": " + jsonNumber(s.voltage) +
           ", \"temperature\": " + jsonNumber(s.temperature) +
           ", \"card_free_percent\": " + jsonNumber(s.cardFreePercent) + "}}";
  }
  out += links.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

std::string renderMetrics(const HubFigures& hub, const std::vector<LinkStatus>& links) {
  std::string out;
  Family(&out, "uptime_seconds", "Seconds since the hub started.").sample("", hub.uptimeSeconds);
  Family(&out, "links", "Instrument links running.").sample("", hub.links);
  Family(&out, "zip_queue", "Finished minutes being zipped.").sample("", hub.zipQueue);
  Family(&out, "log_errors_last_hour", "Error lines in the hub's logs in the last hour.")
      .sample("", hub.logErrorsLastHour);
  {
    Family freeBytes(&out, "disk_free_bytes", "Bytes free on the file system of an archive.");
    for (const ArchiveDisk& d : hub.disks) {
      if (!d.known) continue;
      freeBytes.sample("archive=\"" + metricsLabelEscape(d.archive) + "\",folder=\"" +
                           metricsLabelEscape(d.folder) + "\"",
                       static_cast<double>(d.freeBytes));
    }
  }
  struct PerLink {
    const char* name;
    const char* help;
    double (*value)(const LinkStatus&);
    bool (*shown)(const LinkStatus&);
  };
  const PerLink perLink[] = {
      {"link_since_timestamp_seconds", "Unix time the link began.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.since); },
       [](const LinkStatus&) { return true; }},
      {"link_last_data_timestamp_seconds", "Unix time of the end of the newest live record.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.lastData); },
       [](const LinkStatus& l) { return l.snapshot.lastData != 0; }},
      {"link_lag_seconds", "Hub clock minus the end of the newest live record when it came.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.lagSeconds); },
       [](const LinkStatus& l) { return l.snapshot.lastData != 0; }},
      {"link_records_today", "Live records stored for the station this UTC day.",
       [](const LinkStatus& l) { return static_cast<double>(l.recordsToday); },
       [](const LinkStatus&) { return true; }},
      {"link_bytes_today", "Bytes of live records stored for the station this UTC day.",
       [](const LinkStatus& l) { return static_cast<double>(l.bytesToday); },
       [](const LinkStatus&) { return true; }},
      {"link_backfill_active", "1 while a minute is being fetched from the instrument's card.",
       [](const LinkStatus& l) { return l.snapshot.backfill ? 1.0 : 0.0; },
       [](const LinkStatus&) { return true; }},
      {"link_uploads_waiting", "Files waiting in the station's upload folder.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.uploadsWaiting); },
       [](const LinkStatus&) { return true; }},
      {"link_build", "Firmware build of the instrument.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.build); },
       [](const LinkStatus& l) { return l.snapshot.build != LINK_BUILD_UNKNOWN; }},
      {"link_voltage_volts", "Supply voltage of the instrument.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.voltage); },
       [](const LinkStatus&) { return true; }},
      {"link_temperature_celsius", "Temperature of the instrument.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.temperature); },
       [](const LinkStatus&) { return true; }},
      {"link_card_free_percent", "Free space on the instrument's card, in percent.",
       [](const LinkStatus& l) { return static_cast<double>(l.snapshot.cardFreePercent); },
       [](const LinkStatus&) { return true; }},
  };
  for (const PerLink& metric : perLink) {
    Family family(&out, metric.name, metric.help);
    for (const LinkStatus& l : links)
      if (metric.shown(l)) family.sample(linkLabels(l.snapshot), metric.value(l));
  }
  Family gaps(&out, "link_gaps_pending", "Gaps of the station waiting, by action.");
  for (const LinkStatus& l : links) {
    for (int a = 0; a < Gap::ACTION_COUNT; ++a) {
      if (l.snapshot.gaps[a] == 0) continue;
      gaps.sample(linkLabels(l.snapshot) + ",action=\"" + metricsLabelEscape(actionText(a)) + "\"",
                  l.snapshot.gaps[a]);
    }
  }
  return out;
}
