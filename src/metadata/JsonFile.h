// A small key/value text file held in memory twice: as the raw bytes last
// loaded or appended, and as a table of key to value ordered by byte-wise
// key comparison.
//
// File format (the instrument's "settings.ss" is one): one entry per line,
// a key, "=", a value; double quotes are optional on reading, so
//   "sitename"="ABCD"   and   sitename=ABCD
// give the same entry. Lines beginning with "#" are comments. The line rules
// (at most JSON_LINE_MAX characters, keys of 1 to JSON_KEY_MAX printable
// characters, printable values) are those of parseJsonLine (util/JsonLine.h);
// a line that breaks them is skipped. Parsing reads at most
// JSON_PARSE_MAX_LINES lines and stops at the first line break at offset
// JSON_PARSE_MAX_OFFSET or later. Written files hold the format key's line
// first, two comment lines (the path and the local time), then every other
// entry in key order, keys quoted, values quoted unless numeric.
//
// The raw buffer exists so that a file arriving in pieces over the link can
// be fed in with append() and parsed once complete.
//
// Not shared: one object per instrument session, used only by that session's
// thread; no lock. The writing flag guards against a nested write within
// that thread.
#ifndef VH_METADATA_JSONFILE_H_
#define VH_METADATA_JSONFILE_H_

#include <cstdio>
#include <map>
#include <string>
#include <vector>

constexpr int JSON_PARSE_MAX_LINES = 500;     // lines examined by one parseFile
constexpr int JSON_PARSE_MAX_OFFSET = 20000;  // line breaks from here on end parsing
constexpr size_t JSON_READ_CHUNK = 512;       // bytes per read() step
constexpr size_t JSON_NUMBER_TEXT_MAX = 31;   // characters getInt/getFloat convert
constexpr size_t JSON_FLOAT_TEXT_MAX = 31;    // characters setFloat stores
constexpr char JSON_DATALOGGER_KEY[] = "datalogger";
constexpr char JSON_DATALOGGER_VALUE[] = "Dremo";

class JsonFile {
 public:
  // An empty file with a raw buffer of capacity bytes (at most capacity - 1
  // bytes of text are held) and no format key.
  explicit JsonFile(int capacity);
  JsonFile(const JsonFile&) = delete;
  JsonFile& operator=(const JsonFile&) = delete;
  virtual ~JsonFile();

  // Stores value under key. Returns 1 and sets the changed flag when the
  // value differs from the stored one (a missing key counts as ""), else 0.
  virtual int setStr(const std::string& key, const std::string& value);
  // Splits one line (readLine) and stores its entry with setChars. Returns
  // 1 when the line held an entry, else 0 (nothing stored).
  virtual int set(const std::string& line);
  // Writes the file (see the file comment); "datalogger"="Dremo" is stored
  // first without touching the changed flag. Missing folders are created.
  // Returns 1, or 0 when the file cannot be opened or a write is already
  // running in this object ("STOP DOUBLE JsonFile.write" on the console).
  virtual int write(const std::string& path);
  // Writes the line of key with its stored value. 0 when stream is null,
  // key is empty or missing ("NO VALUE FOR KEY=%s" on the console), else 1.
  virtual int writeLine(FILE* stream, const std::string& key);
  // Writes one entry line: "key"=value for numeric values and values that
  // already begin with a double quote, else "key"="value". 0 when stream is
  // null, else 1.
  virtual int writeLine(FILE* stream, const std::string& key, const std::string& value);
  virtual bool isChanged() { return changed_; }

  // Loads the file at path into the buffer and parses it. Returns 1 when the
  // whole file was loaded. When it cannot be opened the current buffer is
  // parsed again and the result is 0; when it does not fit ("FULL." on the
  // console) what fitted is parsed and the result is 0. Entries absent from
  // the file keep their old values.
  int read(const std::string& path);
  // Appends length bytes of data (length 0: its string length) to the
  // buffer, which stays NUL-terminated. Returns 1, or 0 when data is null or
  // the bytes do not fit.
  int append(const char* data, int length);
  // Empties the buffer (the entries stay).
  void clear();
  // The read position has reached the capacity or the used length.
  bool isEnd() const;
  // Parses the buffer from its start into the entries (without touching the
  // changed flag). Returns the number of entries held afterwards.
  int parseFile();
  // Reads the next line of the buffer. Returns 1 when it held an entry
  // (stored, and copied to key and value).
  int nextLine(std::string& key, std::string& value);
  // Splits one line into key and value by the line rules. Returns 1, or 0
  // when the line breaks a rule (key and value are then unusable).
  static int readLine(const std::string& line, std::string& key, std::string& value);
  // Non-empty and entirely consumed by a decimal floating-point conversion.
  static bool isNumeric(const std::string& text);

  // setStr through the virtual slot, so subclasses see every store.
  int setChars(const std::string& key, const std::string& value) { return setStr(key, value); }
  int setInt(const std::string& key, int value);
  // value with decimals digits after the point ("%.<decimals>f").
  int setFloat(const std::string& key, double value, int decimals);
  // Erases the entry; the changed flag is not touched.
  void remove(const std::string& key) { entries_.erase(key); }
  void setChanged(bool changed) { changed_ = changed; }

  // Copies at most size - 1 characters of the value into dest, terminated.
  // Returns 1 when the key exists; 0 (dest untouched) when size is below 1,
  // the key is empty or missing. Subclasses may refine the copied text.
  virtual int getChars(const std::string& key, char* dest, int size) const;
  // The whole value. Returns 1 when the key exists, else 0 (out unchanged).
  int getStr(const std::string& key, std::string& out) const;
  // The first JSON_NUMBER_TEXT_MAX characters of the value as a base-10
  // integer or a float; trailing text is ignored. def when the key is
  // missing, the value is empty or no character could be converted.
  int getInt(const std::string& key, int def) const;
  float getFloat(const std::string& key, float def) const;
  bool hasKey(const std::string& key) const { return entries_.count(key) > 0; }
  size_t size() const { return entries_.size(); }
  const std::map<std::string, std::string>& entries() const { return entries_; }

  void setFormatKey(const std::string& key) { formatKey_ = key; }
  const std::string& getFormatKey() const { return formatKey_; }
  int getUsed() const { return used_; }
  int getCapacity() const { return capacity_; }

 private:
  // Moves the read position over a run of CR and LF, never beyond the used
  // length nor past JSON_PARSE_MAX_OFFSET.
  void skipLineBreaks();

  const int capacity_;
  std::vector<char> buffer_;  // capacity_ bytes; NUL-terminated after append
  int used_ = 0;              // valid bytes in buffer_
  int readPos_ = 0;           // where nextLine continues
  bool changed_ = false;
  std::string formatKey_;
  std::map<std::string, std::string> entries_;  // byte-wise key order
  bool writing_ = false;                        // write() is running
};

#endif  // VH_METADATA_JSONFILE_H_
