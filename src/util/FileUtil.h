// File and path helpers with the hub's fixed limits, and the modes of the
// files and folders the hub shares with other programs.
#ifndef VH_UTIL_FILEUTIL_H_
#define VH_UTIL_FILEUTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Files written for other programs to read and replace, and the folders
// made for them (both before the process umask).
constexpr mode_t MODE_SHARED_FILE = 0666;
constexpr mode_t MODE_SHARED_FOLDER = 0777;

constexpr size_t MKDIRS_PATH_MAX = 254;  // mkdirs works on a copy this long
constexpr size_t MKDIRSF_MAX = 199;      // mkdirsf formats into this many characters
constexpr size_t GLUEPATH_MAX = 255;
constexpr size_t GETLINE_MAX = 1000;  // bytes examined by getLine
constexpr size_t COPY_CHUNK = 512;
constexpr size_t MAKETMPDIR_MAX = 130;
constexpr size_t DELETEFOLDER_MAX_ENTRIES = 1000;
constexpr size_t TRIMTAIL_MAX = 20;

// Creates the folders of path with MODE_SHARED_FOLDER. When isDir is false the path
// names a file and its last element is dropped. One trailing separator is
// ignored; a prefix of two characters or fewer is never created. Returns the
// result of the last mkdir (0 on success, -1 on failure, including "exists").
int mkdirs(const std::string& path, bool isDir);

// What appendWhole did: all bytes written, or not; then the file's length
// before the call and whether it was cut back to it.
struct AppendOutcome {
  bool whole = false;
  off_t before = -1;  // -1: unknown (the cut was not tried)
  bool cutBack = false;
};
// Appends length bytes to fd (opened with O_APPEND) in as many writes as it
// takes. When they cannot all be written, the file is cut back to its length
// before the call, so no part of them stays (a cut record would mislead its
// readers).
AppendOutcome appendWhole(int fd, const void* bytes, size_t length);
// Formats into MKDIRSF_MAX characters, then mkdirs(text, false).
int mkdirsf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// In place: "\\" becomes "/", and a "/" directly followed by ":" or "/" is dropped.
void makeLinuxPath(std::string& path);
// folder + name with exactly one "/" between them, at most GLUEPATH_MAX characters.
std::string gluePath(const std::string& folder, const std::string& name);

bool isFile(const std::string& path);
bool isFile(const std::string& folder, const std::string& name);
bool isDir(const std::string& path);
bool isDir(const std::string& folder, const std::string& name);

long long getFileSize(const std::string& path);    // -1 when it is no readable file
time_t fileModifiedTime(const std::string& path);  // 0 when it cannot be examined
// Now minus the latest of modification, status-change and access time, in
// seconds; a path that cannot be examined counts as unchanged since 1970.
long fileAge(const std::string& path);

// Reads the whole file into data. Returns its length, -1 when the path is
// empty or the file cannot be opened.
long long readFile(const std::string& path, std::vector<uint8_t>& data);

// Reads one line: leading CR/LF skipped, then bytes up to the first byte
// outside printable ASCII (that byte is consumed), at most GETLINE_MAX bytes
// examined. Returns false at end of file when nothing was read.
bool getLine(FILE* stream, std::string& line);
// The same over a buffer from position, which is advanced; position becomes
// -1 when the buffer end is reached. Returns false when nothing was read.
bool getLine(const char* buffer, long length, long& position, std::string& line);

// Set access and modification times to now - secondsAgo, or to t. True on success.
bool touchFile(const std::string& path, long secondsAgo);
bool touchFileTime(const std::string& path, time_t t);

// Byte-for-byte copy of the whole source, whatever its size. A failed write
// prints "Can't write to %s\n", removes the incomplete destination and
// returns false. False when a file cannot be opened (for instance a missing
// destination folder); true on success, and at once when both name the same file.
bool copyFile(const std::string& source, const std::string& destination);
// Deletes one file (or link); true when it was removed.
bool removeFile(const std::string& path);
// Deletes folder and contents depth first; names beginning with "." are
// skipped; at most DELETEFOLDER_MAX_ENTRIES entries per folder examined.
// Links are removed, never followed. Returns true when the folder itself
// was removed.
bool deleteFolder(const std::string& folder);

// Creates a fresh folder LUMETRAFILES + "/tmp/zzz<random><suffix>/" (at
// most MAKETMPDIR_MAX characters) and returns it; another name is drawn when
// one exists already. Empty when no folder could be created.
std::string makeTmpDir(const std::string& suffix = "");

bool endsWith(const char* text, const char* suffix);
bool endsWith(const std::string& text, const std::string& suffix);
// Splits at the first separator character; false when there is none.
bool splitStr(const std::string& text, char separator, std::string& before, std::string& after);
// Cuts trailing bytes outside "0".."z"; texts longer than TRIMTAIL_MAX are
// left alone and reported on the console.
void trimTail(std::string& text);

#endif  // VH_UTIL_FILEUTIL_H_
