#include "util/Dirs.h"

int MODE = MODE_DEFAULT;
std::string HOMEDIR = ".";
std::string LUMETRAFILES = "./lumetrafiles";
std::string BASE_DIR = "./";
std::string VH_DIR;
std::string USB_DIR;
std::string DOWNLOAD_DIR = "./download/";
std::string UPLOAD_DIR = "./upload/";

std::string getBaseOrRamdisk() { return MODE == MODE_PI ? std::string(PI_RAMDISK) : BASE_DIR; }

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const size_t end = folder.find_last_not_of('/');
  const size_t start = name.find_first_not_of('/');
  const std::string head = end == std::string::npos ? std::string() : folder.substr(0, end + 1);
  return head + "/" + (start == std::string::npos ? std::string() : name.substr(start));
}

std::string timeFolder(int mode, const std::string& usbDrive, const std::string& base) {
  return joinPath(mode == MODE_PI && !usbDrive.empty() ? usbDrive : base, "time/");
}
