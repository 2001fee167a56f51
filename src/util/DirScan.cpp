#include "util/DirScan.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "util/Console.h"
#include "util/FileUtil.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// folder + "/" + name, without doubling a "/" the folder already ends in.
std::string joinPath(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// What an entry is, links resolved for files only: a link to a folder is
// never entered, so a link loop cannot trap a scan.
enum class Kind { OTHER, FILE, FOLDER };
Kind kindOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Kind::OTHER;
  if (S_ISDIR(st.st_mode)) return Kind::FOLDER;
  if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) return Kind::OTHER;
  return S_ISREG(st.st_mode) ? Kind::FILE : Kind::OTHER;
}

// Removes one entry lstat described: rmdir for a folder (only an empty one
// goes), unlink for anything else. True when it was removed.
bool removeEntry(const std::string& path, const struct stat& st) {
  return (S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) == 0;
}

struct ScanArgs {
  bool fullPath;
  const std::string& extension;
  long minAge;
  bool checkAge;
  std::vector<std::string>& list;
  std::unordered_set<std::string> seen;  // the texts already in list
};

int scanFolder(const std::string& folder, ScanArgs& args) {
  int added = 0;
  forEachEntry(folder, SCAN_MAX_ENTRIES, [&](const char* name, const std::string& path) {
    Kind kind = kindOf(path);
    if (kind == Kind::FOLDER) {
      scanFolder(path + "/", args);
      return true;
    }
    if (kind != Kind::FILE) return true;
    if (!args.extension.empty() && !endsWith(name, args.extension.c_str())) return true;
    if (args.minAge > 0 && args.checkAge && fileAge(path) < args.minAge) return true;
    std::string text = args.fullPath ? path : std::string(name);
    if (!args.seen.insert(text).second) return true;
    args.list.push_back(text);
    ++added;
    return true;
  });
  return added;
}

// State of one deleteOldFilesRecursive walk; nftw's callback takes no user
// pointer, and each thread runs its own walk.
thread_local time_t tRecursiveBefore = 0;
thread_local int tRecursiveRemoved = 0;

int removeIfUnused(const char* path, const struct stat* st, int flag, struct FTW* ftwbuf) {
  if (ftwbuf->level == 0 || flag == FTW_NS) return 0;  // the walk's own root stays
  if (st->st_atime >= tRecursiveBefore) return 0;
  int rc = (flag == FTW_D || flag == FTW_DNR) ? rmdir(path) : unlink(path);
  if (rc == 0) ++tRecursiveRemoved;
  return 0;
}

}  // namespace

bool forEachEntry(const std::string& folder, size_t maxEntries, const EntryVisitor& visit) {
  if (folder.empty()) return false;
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return false;
  size_t examined = 0;
  struct dirent* entry;
  while (examined < maxEntries && (entry = readdir(dir.get())) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    if (!visit(entry->d_name, joinPath(folder, entry->d_name))) break;
  }
  return true;
}

void FolderStamp::note(const std::string& folder) {
  struct stat st;
  valid_ = stat(folder.c_str(), &st) == 0;
  if (!valid_) return;
  folder_ = folder;
  mtime_ = st.st_mtim;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  listedAt_ = time(nullptr);
}

bool FolderStamp::unchanged(const std::string& folder) const {
  if (!valid_ || folder != folder_) return false;
  const time_t now = time(nullptr);
  if (now < listedAt_ || now - listedAt_ >= FOLDER_STAMP_RENEW_SECS) return false;
  if (listedAt_ - mtime_.tv_sec < FOLDER_STAMP_TRUST_SECS) return false;
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_ &&
         st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec;
}

int getFilesFromDir(const std::string& folder, std::vector<std::string>& list, bool fullPath,
                    const std::string& extension, long minAge, bool checkAge) {
  ScanArgs args{fullPath, extension, minAge, checkAge, list, {}};
  args.seen.insert(list.begin(), list.end());
  return scanFolder(folder, args);
}

int getFilesFromDir(const std::string& folder, std::vector<std::string>& list, bool fullPath) {
  return getFilesFromDir(folder, list, fullPath, std::string(), 0, true);
}

int getSubdirs(const std::string& folder, std::vector<std::string>& list, bool fullPath,
               long maxAge) {
  std::unordered_set<std::string> seen(list.begin(), list.end());
  int added = 0;
  forEachEntry(folder, SCAN_MAX_ENTRIES, [&](const char* name, const std::string& path) {
    if (kindOf(path) != Kind::FOLDER) return true;
    if (maxAge > 0 && fileAge(path) > maxAge) return true;
    std::string text = fullPath ? path : std::string(name);
    if (seen.insert(text).second) {
      list.push_back(text);
      ++added;
    }
    return true;
  });
  return added;
}

bool hasFilesWithExtension(const std::string& folder, const std::string& extension) {
  bool found = false;
  forEachEntry(folder, SCAN_MAX_ENTRIES, [&](const char* name, const std::string& path) {
    found = (extension.empty() || endsWith(name, extension.c_str())) && kindOf(path) == Kind::FILE;
    return !found;
  });
  return found;
}

int deleteFilesBefore(const std::string& folder, time_t t) {
  if (folder.size() < DELETE_MIN_FOLDER_LEN) return 0;
  int removed = 0;
  bool opened = forEachEntry(folder, DELETE_MAX_ENTRIES, [&](const char*, const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_mtime < t && st.st_ctime < t &&
        removeEntry(path, st))
      ++removed;
    return true;
  });
  if (!opened) pprintf("deleteFilesBefore cannot open [%s]", folder.c_str());
  return removed;
}

int deleteOldFiles(const std::string& folder, long ageSeconds) {
  return deleteFilesBefore(folder, time(nullptr) - ageSeconds);
}

int deleteOldFilesRecursive(const std::string& folder, long ageSeconds) {
  if (ageSeconds < 1 || folder.size() < DELETE_MIN_FOLDER_LEN) return 0;
  tRecursiveBefore = time(nullptr) - ageSeconds;
  tRecursiveRemoved = 0;
  nftw(folder.c_str(), removeIfUnused, DELETE_MAX_OPEN_FOLDERS, FTW_PHYS);
  return tRecursiveRemoved;
}

int deleteFilesWithKeyword(const std::string& folder, const char* keyword) {
  int removed = 0;
  bool opened =
      forEachEntry(folder, DELETE_MAX_ENTRIES, [&](const char* name, const std::string& path) {
        if (keyword != nullptr && strstr(name, keyword) == nullptr) return true;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && removeEntry(path, st)) ++removed;
        return true;
      });
  if (!opened) pprintf("deleteFilesWithKeyword cannot open [%s]", folder.c_str());
  return removed;
}
