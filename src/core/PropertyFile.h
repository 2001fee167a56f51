// A text file of key/value settings held in memory as a map sorted by the
// byte order of its keys.
//
// Syntax read (forgiving, line by line, READ_PIECE_MAX characters at a time;
// a longer line is taken in pieces, each piece a line of its own):
//   # comment            * comment            (blank lines are skipped)
//   key=value            key value            (first "=", else first blank)
//   "key" = "value"      quotes and white space around key and value are dropped
//   [section]            later keys become "section.key"
//   group alpha=1        an indented line after it, " beta=2", gives the key
//                        "group beta" (the previous key up to its last blank)
// A line of one word is ignored. The first occurrence of a key wins.
//
// Every lookup that falls back to a non-empty default records that default,
// so a file written back lists every setting the program has asked for.
//
// Thread safety: one object (the hub properties) is shared by every thread.
// mu_ guards the map, the path and the read time. Every lookup, the recording
// of defaults, read/reread and write take it; read replaces the whole map
// under it, so a lookup sees the old or the new contents, never a mixture.
// Returned texts are copies.
#ifndef VH_CORE_PROPERTYFILE_H_
#define VH_CORE_PROPERTYFILE_H_

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "util/Mutex.h"

constexpr size_t READ_PIECE_MAX = 999;  // characters of one line taken at a time (1000-byte buffer)
constexpr size_t PROP_PATH_MAX = 199;  // characters of a path value (getPath, getPathWithExtension)

class PropertyFile {
 public:
  // Empty map, empty path.
  PropertyFile();
  PropertyFile(const PropertyFile&) = delete;
  PropertyFile& operator=(const PropertyFile&) = delete;
  virtual ~PropertyFile();

  // Replaces all entries with the contents of the file at path and stores the
  // path. Returns true when the file could be opened; otherwise the map is
  // left empty (every lookup then yields its default). No message either way.
  bool read(const std::string& path);
  // read() of the stored path.
  bool reread();

  // Modification time of the stored path now, in seconds since the epoch;
  // 0 when it cannot be examined.
  time_t getModTime() const;
  // Modification time of the file as it was when the map was last read
  // (0 when it could not be examined then).
  time_t getReadModTime() const;
  // True when getModTime() differs from t.
  bool changed(time_t t) const;
  std::string getPropFilePath() const;

  bool hasKey(const std::string& key) const;
  // The value of key; when the key is absent, def, which is recorded as the
  // key's value when it is not empty.
  std::string get(const std::string& key, const std::string& def);
  // get, cut to PROP_PATH_MAX characters, with "\\" turned into "/" (makeLinuxPath).
  std::string getPath(const std::string& key, const std::string& def);
  // getPath with an empty default; extension is appended when both are
  // non-empty and the path does not already contain it anywhere.
  std::string getPathWithExtension(const std::string& key, const std::string& extension);

  // Decimal numbers, parsed like stream extraction: leading white space is
  // skipped, text after the number ignored, text that does not start with a
  // number gives 0, a number out of range gives the nearest limit. When the
  // value is absent or empty the default is returned and recorded in decimal.
  int getInt(const std::string& key, int def);
  long getLong(const std::string& key, long def);
  // Hexadecimal: an absent key is recorded with def in lower-case hex without
  // prefix. A leading "0x"/"0X" is dropped; leading hex digits count (none:
  // 0); values beyond 32 bits give 0xffffffff. Empty text gives def.
  int getHex(const std::string& key, int def);

  // Writes the map to path (its folders created): "# <path>", "# <UTC time
  // %Y-%m-%d %H%M %S>", a blank line, "key=value" lines in key order, a blank
  // line and "# end.". The file is written beside the old one and renamed
  // over it, so a failed write leaves the old file whole. On failure prints
  // "Cannot write %s\n" and returns false.
  bool write(const std::string& path);
  // write() to the stored path.
  bool write();

  // Puts double quotes around the key of an upload line "key=value":
  // destination becomes "\"key\"=value" ("\"key\"=" without a value), quotes
  // already present are kept, runs of "=" after the key count as one
  // separator and the rest of the line is the value. At most size
  // characters of line are used and at most size - 1 are written. Returns
  // false, leaving destination untouched, when the line holds no key.
  static bool putQuotesOnKey(const std::string& line, std::string& destination, size_t size);

  // One line "key=value\n" per entry, in key order.
  void print(FILE* stream) const;
  // Number of entries.
  size_t size() const;
  // All keys in key order.
  std::vector<std::string> getKeys() const;

 private:
  // The value of key, or def when the key is absent or (emptyAsAbsent) empty;
  // def is recorded when used and not empty. usedDefault tells whether def
  // was returned.
  std::string lookup(const std::string& key, const std::string& def, bool emptyAsAbsent,
                     bool* usedDefault);

  mutable Mutex mu_;
  std::map<std::string, std::string> entries_ GUARDED_BY(mu_);
  std::string path_ GUARDED_BY(mu_);        // the file last read
  time_t readModTime_ GUARDED_BY(mu_) = 0;  // seconds
};

#endif  // VH_CORE_PROPERTYFILE_H_
