#include "util/FileUtil.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/Random.h"
#include "util/Text.h"

namespace {
constexpr size_t MKDIRS_MIN_PREFIX = 2;  // prefixes this short ("/", "./", "C:") are never created
constexpr char TRIM_LOW = '0';           // trimTail keeps bytes from here ...
constexpr char TRIM_HIGH = 'z';          // ... to here
constexpr int TMPDIR_RANDOM_RANGE = 1000000;
constexpr int TMPDIR_ATTEMPTS = 20;  // fresh names tried before makeTmpDir gives up

// lstat that tells a real folder (not a link to one) from everything else.
bool isRealDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Closes a FILE* at the end of a scope unless released.
struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) fclose(f);
  }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Shared body of both getLine forms: next() returns the next byte or EOF.
template <typename Next>
bool readLineFrom(Next next, std::string& line) {
  line.clear();
  size_t examined = 0;
  int c = EOF;
  while (examined < GETLINE_MAX) {
    c = next();
    ++examined;
    if (c != '\r' && c != '\n') break;
  }
  if (c == EOF) return false;
  while (isPrintableAscii(c)) {
    line += static_cast<char>(c);
    if (examined >= GETLINE_MAX) break;
    c = next();
    ++examined;
  }
  return true;
}
}  // namespace

int mkdirs(const std::string& path, bool isDir) {
  std::string p = bounded(path, MKDIRS_PATH_MAX);
  if (!isDir) {
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return -1;  // a bare file name has no folder to make
    p.resize(slash);
  }
  if (!p.empty() && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  if (p.empty()) return -1;
  for (size_t i = MKDIRS_MIN_PREFIX + 1; i < p.size(); ++i) {
    if (p[i] == '/' || p[i] == '\\') {
      std::string prefix = p.substr(0, i);
      mkdir(prefix.c_str(), MODE_SHARED_FOLDER);
    }
  }
  return mkdir(p.c_str(), MODE_SHARED_FOLDER);
}

int mkdirsf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = bounded(vsformat(format, args), MKDIRSF_MAX);
  va_end(args);
  return mkdirs(text, false);
}

void makeLinuxPath(std::string& path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' && i + 1 < path.size() && (path[i + 1] == ':' || path[i + 1] == '/'))
      continue;
    out += path[i];
  }
  path.swap(out);
}

std::string gluePath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return bounded(folder + name, GLUEPATH_MAX);
  return bounded(folder + "/" + name, GLUEPATH_MAX);
}

bool isFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isFile(const std::string& folder, const std::string& name) {
  return isFile(gluePath(folder, name));
}

bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isDir(const std::string& folder, const std::string& name) {
  return isDir(gluePath(folder, name));
}

time_t fileModifiedTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mtime;
}

long long getFileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

long fileAge(const std::string& path) {
  time_t now = time(nullptr);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return static_cast<long>(now);
  time_t latest = st.st_mtime;
  if (st.st_ctime > latest) latest = st.st_ctime;
  if (st.st_atime > latest) latest = st.st_atime;
  return static_cast<long>(now - latest);
}

long long readFile(const std::string& path, std::vector<uint8_t>& data) {
  data.clear();
  if (path.empty()) return -1;
  UniqueFile f(fopen(path.c_str(), "rb"));
  if (!f) return -1;
  uint8_t chunk[COPY_CHUNK];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f.get())) > 0)
    data.insert(data.end(), chunk, chunk + n);
  if (ferror(f.get())) {
    data.clear();
    return -1;
  }
  return static_cast<long long>(data.size());
}

bool getLine(FILE* stream, std::string& line) {
  line.clear();
  if (stream == nullptr) return false;
  return readLineFrom([stream]() { return fgetc(stream); }, line);
}

bool getLine(const char* buffer, long length, long& position, std::string& line) {
  line.clear();
  if (buffer == nullptr || position < 0 || position >= length) {
    position = -1;
    return false;
  }
  bool got = readLineFrom(
      [&]() -> int {
        if (position >= length) return EOF;
        return static_cast<unsigned char>(buffer[position++]);
      },
      line);
  if (position >= length) position = -1;
  return got;
}

bool touchFileTime(const std::string& path, time_t t) {
  struct timeval times[2];
  times[0].tv_sec = t;
  times[0].tv_usec = 0;
  times[1] = times[0];
  return utimes(path.c_str(), times) == 0;
}

bool touchFile(const std::string& path, long secondsAgo) {
  return touchFileTime(path, time(nullptr) - secondsAgo);
}

bool copyFile(const std::string& source, const std::string& destination) {
  UniqueFile in(fopen(source.c_str(), "rb"));
  if (!in) return false;
  // Opening the source itself for writing would truncate it.
  struct stat srcSt, dstSt;
  if (fstat(fileno(in.get()), &srcSt) == 0 && stat(destination.c_str(), &dstSt) == 0 &&
      srcSt.st_dev == dstSt.st_dev && srcSt.st_ino == dstSt.st_ino)
    return true;
  UniqueFile out(fopen(destination.c_str(), "wb"));
  if (!out) return false;
  // Only a regular file is removed after a failure, never a device.
  bool regular = fstat(fileno(out.get()), &dstSt) == 0 && S_ISREG(dstSt.st_mode);
  char chunk[COPY_CHUNK];
  bool ok = true;
  size_t n;
  while (ok && (n = fread(chunk, 1, sizeof chunk, in.get())) > 0) {
    if (fwrite(chunk, 1, n, out.get()) != n) ok = false;
  }
  if (ferror(in.get())) ok = false;
  // Buffered bytes may fail only when flushed.
  if (fclose(out.release()) != 0) ok = false;
  if (!ok) {
    pprintf("Can't write to %s\n", destination.c_str());
    if (regular) unlink(destination.c_str());  // no truncated copy is left behind
  }
  return ok;
}

bool removeFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool deleteFolder(const std::string& folder) {
  forEachEntry(folder, DELETEFOLDER_MAX_ENTRIES, [](const char*, const std::string& path) {
    // Links are removed, never followed: the walk stays inside the folder.
    if (isRealDir(path))
      deleteFolder(path);
    else
      unlink(path.c_str());
    return true;
  });
  return rmdir(folder.c_str()) == 0;
}

std::string makeTmpDir(const std::string& suffix) {
  for (int attempt = 0; attempt < TMPDIR_ATTEMPTS; ++attempt) {
    std::string path = sformatBounded(MAKETMPDIR_MAX, "%s/tmp/zzz%d%s/", LUMETRAFILES.c_str(),
                                      randn(TMPDIR_RANDOM_RANGE), suffix.c_str());
    if (mkdirs(path, true) == 0) return path;
    // Another caller may hold the same name; anything else will not get better.
    if (errno != EEXIST) break;
  }
  return std::string();
}

bool endsWith(const char* text, const char* suffix) {
  if (text == nullptr || suffix == nullptr) return false;
  size_t t = strlen(text), n = strlen(suffix);
  return n <= t && memcmp(text + t - n, suffix, n) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return suffix.size() <= text.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool splitStr(const std::string& text, char separator, std::string& before, std::string& after) {
  size_t at = text.find(separator);
  if (at == std::string::npos) return false;
  before = text.substr(0, at);
  after = text.substr(at + 1);
  return true;
}

void trimTail(std::string& text) {
  if (text.size() > TRIMTAIL_MAX) {
    pprintf("trimTail len=%d  ", static_cast<int>(text.size()));
    pprintf("s=[%s]\n", text.c_str());
    return;
  }
  while (!text.empty() && (text.back() < TRIM_LOW || text.back() > TRIM_HIGH)) text.pop_back();
}

AppendOutcome appendWhole(int fd, const void* bytes, size_t length) {
  AppendOutcome outcome;
  outcome.before = lseek(fd, 0, SEEK_END);
  const char* at = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, at + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  outcome.whole = done == length;
  if (!outcome.whole && outcome.before >= 0) outcome.cutBack = ftruncate(fd, outcome.before) == 0;
  return outcome;
}
