#include "waveform/Zipper.h"

#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "util/Console.h"
#include "util/FileUtil.h"
#include "util/TimeUtil.h"

namespace {

constexpr size_t COPY_BUFFER = 64 * 1024;  // bytes moved per read while extracting

// A zip_t opened by our code: discarded (never written) unless closed on purpose.
struct ZipDiscarder {
  void operator()(zip_t* za) const {
    if (za != nullptr) zip_discard(za);
  }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscarder>;

struct ZipFileCloser {
  void operator()(zip_file_t* zf) const {
    if (zf != nullptr) zip_fclose(zf);
  }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;

struct StdioCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) fclose(f);
  }
};
using StdioPtr = std::unique_ptr<FILE, StdioCloser>;

// Opens a zip for reading; null when it is no readable zip.
ZipPtr openReader(const std::string& zipPath) {
  int error = 0;
  return ZipPtr(zip_open(zipPath.c_str(), ZIP_RDONLY, &error));
}

std::string lastComponent(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True for a name that stays inside the folder it is extracted to.
bool isSafeEntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

std::string joinFolder(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Streams entry index of za into out (already open). False on a read or write error.
bool copyEntry(zip_t* za, zip_uint64_t index, FILE* out) {
  ZipFilePtr zf(zip_fopen_index(za, index, 0));
  if (!zf) return false;
  std::vector<char> buffer(COPY_BUFFER);
  for (;;) {
    zip_int64_t n = zip_fread(zf.get(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (fwrite(buffer.data(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
      return false;
    }
  }
}

bool isRegularFile(const std::string& path, long long* size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<long long>(st.st_size);
  return true;
}

// Adds one file to the writer under its last path component, unless the
// name is too short or was added before. False only when libzip refused the
// entry; a skipped file is not a failure.
bool addIfUnique(zip_t* za, const std::string& path, std::set<std::string>* names, bool* added) {
  *added = false;
  std::string name = lastComponent(path);
  if (name.size() <= Zipper::ZIP_MIN_NAME || names->count(name) != 0) return true;
  long long size = 0;
  if (!isRegularFile(path, &size)) return true;
  // The length measured now is what goes into the zip, even if the file grows
  // before the archive is written out at the end.
  zip_source_t* source = zip_source_file(za, path.c_str(), 0, size == 0 ? -1 : size);
  if (source == nullptr) return false;
  zip_int64_t index = zip_file_add(za, name.c_str(), source, ZIP_FL_ENC_GUESS);
  if (index < 0) {
    zip_source_free(source);
    return false;
  }
  if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                               Zipper::ZIP_LEVEL) != 0) {
    return false;
  }
  names->insert(name);
  *added = true;
  return true;
}

}  // namespace

Mutex Zipper::ZIP_MUTEX;

bool Zipper::compressFiles(const std::string& zipPath, const std::vector<std::string>& paths) {
  // The new zip is the caller's own file: only the reading of inner zips,
  // which may be zips of the archive, takes the zip mutex.
  removeFile(zipPath);
  int error = 0;
  ZipPtr za(zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
  if (!za) {
    pprintf("Cannot create zip %s\n", zipPath.c_str());
    return false;
  }
  std::set<std::string> names;
  // Folders of extracted inner zips; libzip reads the sources only when the
  // archive is written, so they stay until then.
  std::vector<std::string> scratch;
  std::vector<std::string> extracted;  // removed by name: deleteFolder skips dot names
  bool ok = true;
  size_t count = paths.size() < ZIP_MAX_FILES ? paths.size() : ZIP_MAX_FILES;
  for (size_t i = 0; i < count && ok; ++i) {
    const std::string& path = paths[i];
    std::vector<std::string> inner;
    if (path.find(".zip") != std::string::npos) {
      ZipPtr probe = openReader(path);
      if (probe) {
        probe.reset();
        std::string folder = makeTmpDir();
        if (folder.empty()) {
          pprintf("Cannot make a folder to unzip %s\n", path.c_str());
          ok = false;
          break;
        }
        scratch.push_back(folder);
        {
          MutexLock lock(ZIP_MUTEX);
          uncompressFileLocked(path, folder, &inner);
        }
        extracted.insert(extracted.end(), inner.begin(), inner.end());
        if (inner.size() > ZIP_MAX_FILES) inner.resize(ZIP_MAX_FILES);
        for (const std::string& entry : inner) {
          bool added = false;
          if (!addIfUnique(za.get(), entry, &names, &added)) ok = false;
        }
        continue;
      }
    }
    bool added = false;
    if (!addIfUnique(za.get(), path, &names, &added)) ok = false;
  }
  if (ok && !names.empty()) {
    if (zip_close(za.get()) == 0) {
      za.release();  // closed and freed by zip_close
    } else {
      pprintf("Cannot write zip %s: %s\n", zipPath.c_str(), zip_strerror(za.get()));
      ok = false;
    }
  } else {
    ok = false;
  }
  za.reset();
  deleteFiles(extracted);
  for (const std::string& folder : scratch) deleteFolder(folder);
  if (!ok) removeFile(zipPath);
  return ok;
}

bool Zipper::compressFile(const std::string& zipPath, const std::string& path) {
  return compressFiles(zipPath, std::vector<std::string>{path});
}

bool Zipper::compress2Files(const std::string& zipPath, const std::string& path1,
                            const std::string& path2) {
  return compressFiles(zipPath, std::vector<std::string>{path1, path2});
}

bool Zipper::uncompressFile(const std::string& zipPath, const std::string& folder,
                            std::vector<std::string>* files) {
  MutexLock lock(ZIP_MUTEX);
  return uncompressFileLocked(zipPath, folder, files);
}

bool Zipper::uncompressFileLocked(const std::string& zipPath, const std::string& folder,
                                  std::vector<std::string>* files) {
  if (zipPath.find(".zip") == std::string::npos) return false;
  ZipPtr za = openReader(zipPath);
  if (!za) return false;
  bool ok = true;
  zip_int64_t num = zip_get_num_entries(za.get(), 0);
  for (zip_int64_t i = 0; i < num; ++i) {
    const char* raw = zip_get_name(za.get(), static_cast<zip_uint64_t>(i), 0);
    if (raw == nullptr || !isSafeEntryName(raw)) continue;
    std::string out = joinFolder(folder, raw);
    StdioPtr f(fopen(out.c_str(), "wb"));
    if (!f) {
      ok = false;
      continue;
    }
    bool copied = copyEntry(za.get(), static_cast<zip_uint64_t>(i), f.get());
    if (fclose(f.release()) != 0) copied = false;
    if (!copied) {
      removeFile(out);
      ok = false;
      continue;
    }
    chmod(out.c_str(), MODE_SHARED_FILE);
    if (files != nullptr) files->push_back(out);
  }
  return ok;
}

bool Zipper::extractFile(const std::string& zipPath, const std::string& name,
                         std::vector<uint8_t>* data) {
  MutexLock lock(ZIP_MUTEX);
  return extractFileLocked(zipPath, name, data);
}

bool Zipper::extractFileLocked(const std::string& zipPath, const std::string& name,
                               std::vector<uint8_t>* data) {
  data->clear();
  ZipPtr za = openReader(zipPath);
  if (!za) {
    pprintf("zip file appears invalid\n");
    return false;
  }
  zip_int64_t num = zip_get_num_entries(za.get(), 0);
  if (num <= 0) {
    pprintf("zip file does not contain files\n");
    return false;
  }
  for (zip_int64_t i = 0; i < num; ++i) {
    const char* entry = zip_get_name(za.get(), static_cast<zip_uint64_t>(i), 0);
    if (entry == nullptr || strncmp(entry, name.c_str(), ZIP_NAME_COMPARE) != 0) continue;
    ZipFilePtr zf(zip_fopen_index(za.get(), static_cast<zip_uint64_t>(i), 0));
    if (!zf) return false;
    std::vector<uint8_t> buffer(COPY_BUFFER);
    for (;;) {
      zip_int64_t n = zip_fread(zf.get(), buffer.data(), buffer.size());
      if (n < 0 || data->size() + static_cast<size_t>(n) > EXTRACT_MEMORY_MAX) {
        data->clear();
        return false;
      }
      if (n == 0) return true;
      data->insert(data->end(), buffer.begin(), buffer.begin() + n);
    }
  }
  return false;
}

bool Zipper::extractFile(const std::string& zipPath, const std::string& name,
                         const std::string& folder, bool append) {
  MutexLock lock(ZIP_MUTEX);
  if (!isSafeEntryName(name)) return false;
  std::vector<uint8_t> data;
  if (!extractFileLocked(zipPath, name, &data)) return false;
  std::string out = joinFolder(folder, name);
  StdioPtr f(fopen(out.c_str(), append ? "ab" : "wb"));
  if (!f) return false;
  bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f.get()) == data.size();
  if (fclose(f.release()) != 0) ok = false;
  chmod(out.c_str(), MODE_SHARED_FILE);
  return ok;
}

long long Zipper::entrySize(const std::string& zipPath, const std::string& name) {
  MutexLock lock(ZIP_MUTEX);
  ZipPtr za = openReader(zipPath);
  if (!za) return -1;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat(za.get(), name.c_str(), 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0) {
    return -1;
  }
  return static_cast<long long>(st.size);
}

int Zipper::deleteFiles(const std::vector<std::string>& paths) {
  int removed = 0;
  for (const std::string& path : paths) {
    if (removeFile(path)) ++removed;
  }
  return removed;
}

void Zipper::lockMutex() { ZIP_MUTEX.lock(); }

void Zipper::unlockMutex() { ZIP_MUTEX.unlock(); }
