// Discovery of the USB drive that a single-board host mounts automatically
// under a media folder; start-up keeps archives and time files on it.
// Stateless; safe in any thread.
#ifndef VH_UTIL_USB_H_
#define VH_UTIL_USB_H_

#include <cstddef>
#include <string>

constexpr char USB_MOUNT_TABLE[] = "/proc/self/mounts";  // the system's table of mounts
constexpr size_t USB_MOUNT_DIR_MAX = 58;                 // characters taken of the mount folder
constexpr char USB_MOUNT_MARK[] = "media";

class Usb {
 public:
  virtual ~Usb() = default;

  // The mount folder of the first entry of mountTable whose folder contains
  // "media", cut to USB_MOUNT_DIR_MAX characters, with "/" appended; the
  // empty text when none matches or the table cannot be read (reported on
  // standard error).
  static std::string firstDrive(const char* mountTable = USB_MOUNT_TABLE);
};

#endif  // VH_UTIL_USB_H_
