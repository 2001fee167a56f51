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
