// Zip archives of the hub: the zipped minute files of the waveform archive,
// the trigger waveform packages, and the extraction of both.
//
// Entries are stored under the last path component of their source file,
// deflated at level ZIP_LEVEL (fast) with an empty comment. Within one zip a
// name is added once only: the first file of a name wins, and names of
// ZIP_MIN_NAME characters or fewer are never added. A source that is itself
// a zip (its path holds ".zip" and it opens as one) contributes its entries
// rather than itself. Zipping is not paced here: the minute zip workers
// pause between their jobs (archive/MinuteZip).
//
// Extraction writes entries only under the given folder: an entry whose name
// is empty, absolute, or holds a "/" or "\\" or is "." or ".." is skipped, so
// a zip from outside cannot place files anywhere else.
//
// Thread safety: ZIP_MUTEX, one process-wide mutex, guards what threads
// share: every reading of a zip (extraction, entry sizes, the inner zips a
// new zip takes its entries from), which may be a zip of the archive that a
// link reopens while a zip job replaces it. compressFiles writes a zip that
// belongs to its caller alone (a private folder, or the session's own
// download folder) and takes the mutex only while it reads inner zips; libzip
// writes the new zip beside its place and renames it, and the minute zip
// jobs and trigger packages place theirs by rename, so a reader never meets
// a partial zip. deleteFiles touches no zip and takes nothing; the
// "...Locked" helpers expect the mutex held. Zipper holds no other state.
#ifndef VH_WAVEFORM_ZIPPER_H_
#define VH_WAVEFORM_ZIPPER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/Mutex.h"

class Zipper {
 public:
  static constexpr int ZIP_LEVEL = 1;             // deflate level of every entry
  static constexpr size_t ZIP_MAX_FILES = 999;    // source paths (and inner entries) per zip
  static constexpr size_t ZIP_MIN_NAME = 2;       // entry names must be longer than this
  static constexpr size_t ZIP_NAME_COMPARE = 99;  // characters compared by extractFile
  // extractFile into memory stops with a failure beyond this many bytes.
  static constexpr size_t EXTRACT_MEMORY_MAX = 256u * 1024u * 1024u;

  Zipper() = delete;

  // Writes a new zip at zipPath (an existing file there is replaced) holding
  // the files of paths (at most ZIP_MAX_FILES; missing files are skipped).
  // Returns true when the zip was written with at least one entry; false
  // when it could not be created or written, or nothing was added (then no
  // zip is left at zipPath).
  static bool compressFiles(const std::string& zipPath, const std::vector<std::string>& paths);
  static bool compressFile(const std::string& zipPath, const std::string& path);
  static bool compress2Files(const std::string& zipPath, const std::string& path1,
                             const std::string& path2);

  // Extracts every entry of the zip at zipPath into folder ("folder/name", or
  // "folder" + name when folder ends in "/") and appends each written path
  // to files. Works only when zipPath holds ".zip". Returns false when the
  // zip cannot be read or an entry could not be written.
  static bool uncompressFile(const std::string& zipPath, const std::string& folder,
                             std::vector<std::string>* files);

  // Reads the first entry whose name equals name over its first
  // ZIP_NAME_COMPARE characters into data. Prints "zip file appears
  // invalid\n" for an unreadable zip and "zip file does not contain
  // files\n" for one without entries. Returns false (data cleared) when the
  // entry is missing, unreadable or larger than EXTRACT_MEMORY_MAX.
  static bool extractFile(const std::string& zipPath, const std::string& name,
                          std::vector<uint8_t>* data);
  // Extracts that entry to "folder/name", appending when append is set and
  // replacing the file otherwise. Returns false when nothing was written.
  static bool extractFile(const std::string& zipPath, const std::string& name,
                          const std::string& folder, bool append);

  // Uncompressed size of the entry of exactly that name, -1 when the zip or
  // the entry cannot be read.
  static long long entrySize(const std::string& zipPath, const std::string& name);

  // Removes each path; returns the number removed.
  static int deleteFiles(const std::vector<std::string>& paths);

  // Take and release ZIP_MUTEX, for callers that work on zip files with
  // other means. Not recursive: no Zipper operation may run in between.
  static void lockMutex() ACQUIRE(ZIP_MUTEX);
  static void unlockMutex() RELEASE(ZIP_MUTEX);

 private:
  // The process-wide zip mutex: every zip write and extraction runs under it.
  static Mutex ZIP_MUTEX;

  static bool uncompressFileLocked(const std::string& zipPath, const std::string& folder,
                                   std::vector<std::string>* files) REQUIRES(ZIP_MUTEX);
  static bool extractFileLocked(const std::string& zipPath, const std::string& name,
                                std::vector<uint8_t>* data) REQUIRES(ZIP_MUTEX);
};

#endif  // VH_WAVEFORM_ZIPPER_H_
