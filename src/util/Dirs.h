// Process-wide directories of the running hub. Written by start-up (and by
// tests) before any other thread starts; read-only afterwards, so they need
// no lock.
#ifndef VH_UTIL_DIRS_H_
#define VH_UTIL_DIRS_H_

#include <cstddef>
#include <string>

// Run modes.
constexpr int MODE_DEFAULT = 0;
constexpr int MODE_TIDORA = 1;
constexpr int MODE_PI = 2;
constexpr int MODE_WINSERVICE = 4;

extern int MODE;
extern std::string HOMEDIR;       // no trailing separator, at most HOMEDIR_MAX characters
extern std::string LUMETRAFILES;  // HOMEDIR + "/lumetrafiles"
extern std::string BASE_DIR;      // root of the data tree, always ends in "/"
extern std::string VH_DIR;        // folder of the program's own executable
extern std::string USB_DIR;       // first USB drive with trailing "/" (Pi mode with a drive)
extern std::string DOWNLOAD_DIR;  // BASE_DIR + "download/"
extern std::string UPLOAD_DIR;    // BASE_DIR + "upload/"

constexpr char PI_RAMDISK[] = "/mnt/ramdisk/";
constexpr char PI_ARCHIVE[] = "/media/archive/";

// Limits of the directory texts (characters, without terminator).
constexpr size_t HOMEDIR_MAX = 99;
constexpr size_t LUMETRAFILES_MAX = 114;
constexpr size_t BASE_DIR_MAX = 139;
constexpr size_t VH_DIR_MAX = 127;
constexpr size_t USB_DIR_MAX = 59;
constexpr size_t DOWNLOAD_DIR_MAX = 150;
constexpr size_t UPLOAD_DIR_MAX = 150;

// PI_RAMDISK in the Pi mode, else BASE_DIR.
std::string getBaseOrRamdisk();

// folder and name joined by exactly one "/" (folder empty: name).
std::string joinPath(const std::string& folder, const std::string& name);

// The "time/" folder of start-up: on the USB drive usbDrive in the Pi mode,
// under base otherwise and when the Pi mode has no drive (usbDrive empty).
std::string timeFolder(int mode, const std::string& usbDrive, const std::string& base);

#endif  // VH_UTIL_DIRS_H_
