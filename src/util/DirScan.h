// Folder walks, scans and clean-up of old files.
#ifndef VH_UTIL_DIRSCAN_H_
#define VH_UTIL_DIRSCAN_H_

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

constexpr int SCAN_MAX_ENTRIES = 9999;
constexpr int DELETE_MAX_ENTRIES = 10000;
constexpr size_t DELETE_MIN_FOLDER_LEN = 6;
constexpr int DELETE_MAX_OPEN_FOLDERS = 20;

// Called with an entry's name and its path (folder + "/" + name, no "/"
// doubled); returns false to end the walk.
using EntryVisitor = std::function<bool(const char* name, const std::string& path)>;
// Visits the entries of one folder (not recursive) whose names do not begin
// with ".", reading at most maxEntries entries (dot names counted). The
// folder's handle is closed on every return. False when folder is empty or
// cannot be opened.
bool forEachEntry(const std::string& folder, size_t maxEntries, const EntryVisitor& visit);

// Adds the regular files of folder and, recursively, of its sub-folders to
// list (names beginning with "." skipped; links to folders not entered; no
// duplicates; at most SCAN_MAX_ENTRIES entries read per folder). A file is taken
// when extension is empty or the name ends with it; when minAge > 0 and
// checkAge, files younger than minAge seconds are skipped. Entries are
// folder + "/" + name when fullPath (no "/" added when folder ends in one),
// else the name. Returns the number of names
// added from folder itself (not its sub-folders).
int getFilesFromDir(const std::string& folder, std::vector<std::string>& list, bool fullPath,
                    const std::string& extension, long minAge, bool checkAge);
int getFilesFromDir(const std::string& folder, std::vector<std::string>& list, bool fullPath);

// The sub-folders of one folder (not recursive); with maxAge > 0 folders
// older than maxAge seconds are left out. Entries as for getFilesFromDir,
// no duplicates. Returns the number added.
int getSubdirs(const std::string& folder, std::vector<std::string>& list, bool fullPath,
               long maxAge);
// True when folder itself (not its sub-folders) holds a file ending in extension.
bool hasFilesWithExtension(const std::string& folder, const std::string& extension);

// Removes the files (and empty folders) of one folder whose modification and
// status-change times are both before t. Folder paths shorter than
// DELETE_MIN_FOLDER_LEN are refused; links are removed, never followed.
// Prints "deleteFilesBefore cannot open [%s]" when the folder cannot be
// opened. Returns the number removed.
int deleteFilesBefore(const std::string& folder, time_t t);
int deleteOldFiles(const std::string& folder, long ageSeconds);
// Walks the tree below folder (at most DELETE_MAX_OPEN_FOLDERS open at a
// time, links not followed) and removes each file and empty folder last
// accessed more than ageSeconds ago. A folder is visited before its contents,
// so one emptied by this walk goes in the next. folder itself stays. Nothing
// for an age below 1 or a folder path shorter than DELETE_MIN_FOLDER_LEN.
// Returns the number removed. Thread-safe (the walk's state is per thread).
int deleteOldFilesRecursive(const std::string& folder, long ageSeconds);
// Removes the files (and empty folders) of one folder whose name contains
// keyword (all when keyword is null); names beginning with "." skipped.
// Prints "deleteFilesWithKeyword cannot open [%s]" when the folder cannot
// be opened. Returns the number removed.
int deleteFilesWithKeyword(const std::string& folder, const char* keyword);

// Tells a caller that lists one folder often whether the folder's entries
// can have changed since its last listing. Creating, removing or renaming an
// entry moves the folder's modification time, so while that time (and the
// folder's identity) stays, the last listing still holds. A time within
// FOLDER_STAMP_TRUST_SECS before the listing is not trusted (file systems
// with coarse clocks can give a later change the same time), and a listing is
// trusted for at most FOLDER_STAMP_RENEW_SECS. Not thread-safe: one owner.
constexpr long FOLDER_STAMP_TRUST_SECS = 3;
constexpr long FOLDER_STAMP_RENEW_SECS = 10;

class FolderStamp {
 public:
  // To be called just before listing folder; a change during the listing
  // then shows at the next unchanged().
  void note(const std::string& folder);
  // True when folder is the one noted and nothing can have changed in it.
  bool unchanged(const std::string& folder) const;
  void forget() { valid_ = false; }

 private:
  bool valid_ = false;
  std::string folder_;
  struct timespec mtime_ {};
  dev_t device_ = 0;
  ino_t inode_ = 0;
  time_t listedAt_ = 0;
};

#endif  // VH_UTIL_DIRSCAN_H_
