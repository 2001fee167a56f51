#include "util/DirScan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "util/Console.h"
#include "util/FileUtil.h"

int deleteFilesBefore(const std::string& folder, time_t t) {
  if (folder.size() < DELETE_MIN_FOLDER_LEN) return 0;
  std::string withSlash;
  DIR* dir = openDIR(folder, withSlash);
  if (dir == nullptr) {
    pprintf("deleteFilesBefore cannot open [%s]", folder.c_str());
    return 0;
  }
  int removed = 0;
  int examined = 0;
  struct dirent* entry;
  while (examined < DELETE_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    std::string path = withSlash + entry->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    if (st.st_mtime >= t || st.st_ctime >= t) continue;
    int rc = S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
    if (rc == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

int deleteOldFiles(const std::string& folder, long ageSeconds) {
  return deleteFilesBefore(folder, time(nullptr) - ageSeconds);
}
