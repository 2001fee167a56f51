#include "core/VhProps.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "util/ArchiveFormat.h"
#include "util/Console.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

// Mode templates: the %-codes are expanded by the archive path code ("%U" is
// the home directory, "%USB" the first USB drive).
constexpr char ARCHIVE_TIDORA[] = "%U/lumetrafiles/DataArchive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S";
constexpr char ARCHIVE_PI[] = "/%USB/archive/%S/%Y/%M/%D/%Y%M%D_%H%m_%S";
constexpr char ARCHIVE_DEFAULT[] = "archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S";
constexpr char TRIGWAVE_TIDORA[] =
    "%U/lumetrafiles/DataArchive/triggers/%S/%Y/%M/%D/%Y%M%D_%H%m_%s_%S";
constexpr char TRIGWAVE_PI[] = "%USB/triggers/%S/%Y/%M/%D/%Y%M%D_%H%m_%s_%S";
constexpr char TRIGWAVE_DEFAULT[] = "archive/triggers/%Y/%M/%D/%Y-%M-%D_%H%m_%s_%S";
constexpr char TRIGXML_TIDORA[] =
    "%U/lumetrafiles/DataArchive/trigxml/%S/%Y/%M/%D/%Y%M%D_%H%m_%s_%S.trig";
constexpr char TRIGXML_PI[] = "/%USB/trigxml/%S/%Y/%M/%D/%Y-%M-%D_%H%m_%s_%S.trig";
constexpr char TRIGXML_DEFAULT[] = "archive/trigxml/%S/%Y/%M/%D/%Y-%M-%D_%H%m_%s_%S.trig";
constexpr char HISTOGRAM_TIDORA[] =
    "%U/lumetrafiles/DataArchive/histogram/%S/%Y/%M/%D/%Y%M%D_%H%m_%S.csv";
constexpr char HISTOGRAM_DEFAULT[] = "histogram/%S/%Y/%M/%D/%Y%M%D_%H%m_%S.csv";
constexpr char MONITOR_TIDORA[] = "%U/lumetrafiles/tidora/monitor";
constexpr char MONITOR_PI[] = "/mnt/ramdisk/monitor";

constexpr char TRANSACTIONS_TIDORA[] = "%U/lumetrafiles/tidora/transactions/";
constexpr char TRANSACTIONS_PI[] = "/mnt/ramdisk/transactions/";

constexpr long MILLISECONDS_PER_MINUTE = 60000;

const char* const ARCHIVE_KEYS[ARCHIVE_COUNT] = {"archive1", "archive2"};
const char* const ARCHIVE_FORMAT_KEYS[ARCHIVE_COUNT] = {"archive1format", "archive2format"};

using T = PropType;

// Every key the hub reads from its properties file. Columns: name, type,
// default, then the defaults of modes 1 (Tidora), 2 (Pi) and 4 (Windows
// service) where they differ, then the key whose value is the default.
const std::vector<VhPropKey> KEY_TABLE = {
    // Start-up and links.
    {"print", T::INT, "0"},     // non-zero: log lines and console messages on stdout
    {"port", T::INT, "58772"},  // default of portlow
    {"portlow", T::INT, nullptr, nullptr, nullptr, nullptr, "port"},      // first TCP port
    {"porthigh", T::INT, nullptr, nullptr, nullptr, nullptr, "portlow"},  // last TCP port
    {"sourceid", T::HEX, "1"},        // the hub's source identifier
    {"dumpin", T::INT, "0"},          // non-zero: raw dump of all link input
    {"verbose", T::INT, "0"},         // log verbosity
    {"serialenabled", T::INT, "1"},   // 1: serial ports are opened and served
    {"monitorenabled", T::INT, "0"},  // 1: the monitor folder is used
    {"monitordir", T::PATH, "monitor", MONITOR_TIDORA, MONITOR_PI, MONITOR_TIDORA},
    {"monitornumfiles", T::INT, "200"},  // the monitor folder counts as full at this many files
    {"requestdir", T::PATH, "transactions/"},  // transactions folder (mode 0 only)
    {"extractarchive", T::PATH, ""},           // extraction archive template
    {"backfill", T::INT, "1"},                 // backfill of gaps
    {"backfillhours", T::INT, "24"},           // how far back gaps are filled
    {"fixgaps", T::INT, "1"},                  // sample gap fixing
    {"timeout", T::INT, "30"},     // session loop time-out, seconds without a good frame
    {"metricsport", T::INT, "0"},  // loopback port of the metrics page; 0: none
    // Waveform archives.
    {"archive1", T::PATH, ARCHIVE_DEFAULT, ARCHIVE_TIDORA, ARCHIVE_PI, ARCHIVE_TIDORA},
    {"archive2", T::PATH, ""},  // empty: no second archive
    {"archive1format", T::TEXT, "miniseed"},
    {"archive2format", T::TEXT, "miniseed"},
    {"archive1days", T::INT, "0"},  // days kept; 0 keeps everything
    {"archive2days", T::INT, "0"},
    {"ziparchive", T::INT, "1"},  // 1: finished minute files are zipped
    {"zipworkers", T::INT, "0"},  // threads zipping finished minutes; 0: one per core
    // Triggers.
    {"trigwavearchive1", T::PATH, TRIGWAVE_DEFAULT, TRIGWAVE_TIDORA, TRIGWAVE_PI, TRIGWAVE_TIDORA},
    {"trigwavearchive", T::PATH, nullptr, nullptr, nullptr, nullptr, "trigwavearchive1"},
    {"trigwavearchive2", T::PATH, ""},
    {"trigxmlarchive", T::PATH, TRIGXML_DEFAULT, TRIGXML_TIDORA, TRIGXML_PI, TRIGXML_TIDORA},
    {"trigbackfill", T::INT, "-1"},  // negative: decided by trigchans
    {"trigchans", T::INT, "0"},
    {"trigwavepresecs", T::INT, "15"},   // seconds of waveform before a trigger
    {"trigwavepostsecs", T::INT, "30"},  // seconds of waveform after a trigger
    {"trimtrigfile", T::INT, "1"},
    {"trigwaveenabled", T::INT, "1"},
    {"trigwaveenabled1", T::INT, nullptr, nullptr, nullptr, nullptr, "trigwaveenabled"},
    {"trigwaveenabled2", T::INT, "0"},
    {"broadcast", T::INT, "0", "1"},  // triggers broadcast to the network's other stations
    // Instrument settings and metadata.
    {"settings", T::INT, "0"},         // 1: the settings file is read from the instrument
    {"settingcommands", T::INT, "1"},  // 1: settings are queried with commands
    {"sohwaitminutes", T::INT, "5"},   // minutes between state-of-health queries
    {"overwritestationxml", T::INT, "1"},
    {"histogramenabled", T::INT, "2"},
    {"histogramminutes", T::INT, "15"},
    {"histogramarchive", T::PATH, HISTOGRAM_DEFAULT, HISTOGRAM_TIDORA, nullptr, HISTOGRAM_TIDORA},
    // Uploads and firmware.
    {"filepartwait", T::INT, "300"},  // longest wait of an upload for its file part
    {"flash", T::INT, "0"},
    {"flashenabled", T::INT, "0"},
    {"flashinterval", T::INT, "5000"},  // milliseconds between flash blocks
    // Ring server outlet.
    {"ringenabled", T::INT, "1"},
    {"RingSize", T::INT, "100000000"},
    {"ServerID", T::TEXT, "Tidora Server"},
    {"RingDirectory", T::TEXT, "ring/data"},
};

int parseDecimalInt(const std::string& text) {
  std::istringstream in(text);
  int value = 0;
  in >> value;  // 0 when nothing parses, the nearest limit on overflow
  return value;
}

}  // namespace

VhProps::VhProps() = default;
VhProps::~VhProps() = default;

const std::vector<VhPropKey>& VhProps::keyTable() { return KEY_TABLE; }

const VhPropKey* VhProps::findKey(const char* key) {
  for (const VhPropKey& row : KEY_TABLE)
    if (strcmp(row.name, key) == 0) return &row;
  return nullptr;
}

std::string VhProps::defaultText(const VhPropKey& row) {
  if (row.defaultKey != nullptr) return getTextKey(row.defaultKey);
  const char* modeDefault = nullptr;
  if (MODE == MODE_TIDORA) modeDefault = row.defTidora;
  if (MODE == MODE_PI) modeDefault = row.defPi;
  if (MODE == MODE_WINSERVICE) modeDefault = row.defService;
  return modeDefault != nullptr ? modeDefault : row.def;
}

int VhProps::getIntKey(const char* key) {
  const VhPropKey* row = findKey(key);
  if (row == nullptr) {
    pprintf("No property table row for %s\n", key);
    return getInt(key, 0);
  }
  if (row->type == PropType::TEXT || row->type == PropType::PATH)
    return parseDecimalInt(getTextKey(key));
  // A default taken from another key is that key's number, so an empty or
  // missing value there still gives its own default.
  if (row->type == PropType::HEX) {
    int def = row->defaultKey != nullptr
                  ? getIntKey(row->defaultKey)
                  : static_cast<int>(strtoul(defaultText(*row).c_str(), nullptr, 16));
    return getHex(key, def);
  }
  int def =
      row->defaultKey != nullptr ? getIntKey(row->defaultKey) : parseDecimalInt(defaultText(*row));
  return getInt(key, def);
}

std::string VhProps::getTextKey(const char* key) {
  const VhPropKey* row = findKey(key);
  if (row == nullptr) {
    pprintf("No property table row for %s\n", key);
    return get(key, "");
  }
  if (row->type == PropType::INT || row->type == PropType::HEX) {
    getIntKey(key);  // records the default the number rules give
    return get(key, "");
  }
  std::string value = get(key, defaultText(*row));
  if (row->type == PropType::PATH) {
    value = bounded(value, PROP_PATH_MAX);
    makeLinuxPath(value);
  }
  return value;
}

std::string VhProps::getArchiveTemplate(int i) {
  if (i < 0 || i >= ARCHIVE_COUNT) {
    pprintf("Illegal archive Index=%d", i);
    return std::string();
  }
  return getTextKey(ARCHIVE_KEYS[i]);
}

std::string VhProps::getTrigArchiveTemplate(int i) {
  if (i == 0) return getTextKey("trigwavearchive");  // defaults to trigwavearchive1
  if (i == 1) return getTextKey("trigwavearchive2");
  pprintf("Illegal archive Index=%d", i);
  return std::string();
}

std::string VhProps::getTrigXmlTemplate() { return getTextKey("trigxmlarchive"); }

std::string VhProps::getTransactionsDir() {
  if (MODE == MODE_TIDORA || MODE == MODE_WINSERVICE) return TRANSACTIONS_TIDORA;
  if (MODE == MODE_PI) return TRANSACTIONS_PI;
  std::string dir = getTextKey("requestdir");
  // An empty value would make the file-system root the transactions folder,
  // whose site folders start-up deletes.
  if (dir.empty()) dir = findKey("requestdir")->def;
  if (dir.back() != '/') dir = bounded(dir, PROP_PATH_MAX - 1) + "/";
  return dir;
}

int VhProps::getArchiveFormat(int i) {
  if (i < 0 || i >= ARCHIVE_COUNT) {
    pprintf("Illegal archive Index=%d", i);
    return static_cast<int>(ArchiveFormat::MINISEED);
  }
  std::string text = getTextKey(ARCHIVE_FORMAT_KEYS[i]);
  return static_cast<int>(parseFormat(text));
}

bool VhProps::doBackfillTriggers(int build) {
  if (MODE == MODE_TIDORA) return build <= TRIG_BACKFILL_LAST_BUILD;
  int trigBackfill = getIntKey("trigbackfill");
  if (trigBackfill < 0) return getIntKey("trigchans") == 0;
  return trigBackfill == 1;
}

long VhProps::getSOHWaitMillisecs() { return MILLISECONDS_PER_MINUTE * getSOHWaitMinutes(); }

void VhProps::recordAllDefaults() {
  for (const VhPropKey& row : keyTable()) getTextKey(row.name);
}
