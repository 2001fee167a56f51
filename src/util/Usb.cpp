#include "util/Usb.h"

#include <mntent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "util/Text.h"

namespace {

constexpr size_t MOUNT_ENTRY_BUFFER = 4096;  // bytes for the texts of one table entry

struct MountTableCloser {
  void operator()(FILE* table) const { endmntent(table); }
};

}  // namespace

std::string Usb::firstDrive(const char* mountTable) {
  std::unique_ptr<FILE, MountTableCloser> table(setmntent(mountTable, "r"));
  if (!table) {
    fprintf(stderr, "mountinfo. could not open: %s\n", strerrordesc_np(errno));
    return "";
  }
  mntent entry;
  char texts[MOUNT_ENTRY_BUFFER];
  while (getmntent_r(table.get(), &entry, texts, sizeof texts) != nullptr) {
    if (strstr(entry.mnt_dir, USB_MOUNT_MARK) != nullptr) {
      return bounded(entry.mnt_dir, USB_MOUNT_DIR_MAX) + "/";
    }
  }
  return "";
}
