// The hub's one settings object: the properties file "settings/vorlanhub.props"
// (under BASE_DIR in the Tidora and Windows-service modes, under the working
// directory otherwise) with typed accessors whose defaults depend on the run
// mode.
//
// Every key the hub reads, with its type and default, is a row of one table
// (VhProps.cpp). Code reads keys through getIntKey/getTextKey/isOn with the
// table name, so no default is written twice; every lookup records the
// non-empty default of a missing key, so the file written back after a
// session start lists every setting in use that has a value.
//
// Thread safety: created by start-up, shared by every thread; the map is
// guarded by the PropertyFile lock. The accessors keep no state of their own
// and return copies, so any thread may call them at any time.
#ifndef VH_CORE_VHPROPS_H_
#define VH_CORE_VHPROPS_H_

#include <string>
#include <vector>

#include "core/PropertyFile.h"

// How a value is read: INT getInt, HEX getHex, PATH getPath ("\\" becomes
// "/", at most PROP_PATH_MAX characters), TEXT get.
enum class PropType { INT, HEX, PATH, TEXT };

// One row of the key table. A null mode default means "same as def".
struct VhPropKey {
  const char* name;
  PropType type;
  const char* def;                   // default text (null when defaultKey is set)
  const char* defTidora = nullptr;   // mode 1
  const char* defPi = nullptr;       // mode 2
  const char* defService = nullptr;  // mode 4
  const char* defaultKey = nullptr;  // the default is the value of this table key
};

// Archive template numbers accepted by the template accessors.
constexpr int ARCHIVE_COUNT = 2;
// Mode 1: instrument builds up to this one get trigger backfill.
constexpr int TRIG_BACKFILL_LAST_BUILD = 4553;

class VhProps : public PropertyFile {
 public:
  VhProps();
  ~VhProps() override;

  // The key table, in its documented order.
  static const std::vector<VhPropKey>& keyTable();
  // The row of key, or null when the hub does not read such a key.
  static const VhPropKey* findKey(const char* key);

  // Reads key with its table type and default (mode-dependent, or the value
  // of another key). A key missing from the table prints
  // "No property table row for %s\n" and reads with default 0 / empty.
  int getIntKey(const char* key);
  // The value text of key; PATH rows are normalised and cut like getPath.
  // A missing key is recorded with its default when that is not empty.
  std::string getTextKey(const char* key);
  // Looks up every key of the table, so that the map holds each setting the
  // hub uses with the value in force (a write() then lists all but those
  // whose value is empty).
  void recordAllDefaults();
  // Switches are on only when the value is exactly 1.
  bool isOn(const char* key) { return getIntKey(key) == 1; }

  // i = 0: "archive1" (default: the mode template), i = 1: "archive2"
  // (default empty: no second archive). Any other i prints
  // "Illegal archive Index=%d" and returns "".
  std::string getArchiveTemplate(int i);
  // i = 0: "trigwavearchive1" (mode template), overridden by
  // "trigwavearchive" when that is set; i = 1: "trigwavearchive2" (empty).
  // Any other i as getArchiveTemplate.
  std::string getTrigArchiveTemplate(int i);
  // "trigxmlarchive", default the mode template.
  std::string getTrigXmlTemplate();
  // Modes 1 and 4: "%U/lumetrafiles/tidora/transactions/"; mode 2:
  // "/mnt/ramdisk/transactions/"; mode 0: "requestdir" (default
  // "transactions/", also when set empty) ending in "/".
  std::string getTransactionsDir();
  // "archive1format"/"archive2format" through parseFormat: the ArchiveFormat
  // number. Any other i prints the illegal-index line and gives MINISEED.
  int getArchiveFormat(int i);
  // Mode 1: build <= TRIG_BACKFILL_LAST_BUILD, no key read. Otherwise
  // "trigbackfill" == 1, or, when it is negative (unset), "trigchans" == 0.
  bool doBackfillTriggers(int build);
  bool doSettingFile() { return isOn("settings"); }
  bool doSettingCommands() { return isOn("settingcommands"); }
  bool doZipArchive() { return isOn("ziparchive"); }
  bool doSerial() { return isOn("serialenabled"); }
  int doVerbose() { return getIntKey("verbose"); }
  int getSOHWaitMinutes() { return getIntKey("sohwaitminutes"); }
  long getSOHWaitMillisecs();
  int getFilePartWait() { return getIntKey("filepartwait"); }

 private:
  // The default text of row in the current MODE (reading defaultKey when set).
  std::string defaultText(const VhPropKey& row);
};

#endif  // VH_CORE_VHPROPS_H_
