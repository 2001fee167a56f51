#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/Usb.h"

namespace {

constexpr char kRoot[] = "/dev/root / ext4 rw,noatime 0 0\n";
constexpr char kProc[] = "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n";

class UsbTest : public ::testing::Test {
 protected:
  std::string table(const std::string& text) {
    std::string path = dir_.file("mounts");
    writeText(path, text);
    return path;
  }
  TempDir dir_;
};

TEST_F(UsbTest, DriveUnderMediaGetsTrailingSlash) {
  std::string path =
      table(std::string(kRoot) + kProc + "/dev/sda1 /media/pi/DATA vfat rw,relatime 0 0\n");
  EXPECT_EQ(Usb::firstDrive(path.c_str()), "/media/pi/DATA/");
}

TEST_F(UsbTest, FirstListedDriveWins) {
  std::string path = table(std::string(kRoot) + "/dev/sdb1 /media/pi/SECOND vfat rw 0 0\n" +
                           "/dev/sda1 /media/pi/FIRST vfat rw 0 0\n");
  EXPECT_EQ(Usb::firstDrive(path.c_str()), "/media/pi/SECOND/");
}

TEST_F(UsbTest, AnyFolderContainingMediaMatches) {
  std::string path = table(std::string(kRoot) + "/dev/sdc1 /mnt/multimedia ext4 rw 0 0\n");
  EXPECT_EQ(Usb::firstDrive(path.c_str()), "/mnt/multimedia/");
}

TEST_F(UsbTest, EscapedBlankInMountFolderIsDecoded) {
  std::string path = table("/dev/sda1 /media/pi/MY\\040DISK vfat rw 0 0\n");
  EXPECT_EQ(Usb::firstDrive(path.c_str()), "/media/pi/MY DISK/");
}

TEST_F(UsbTest, LongMountFolderIsCutTo58Characters) {
  std::string folder = "/media/" + std::string(70, 'x');
  std::string path = table("/dev/sda1 " + folder + " vfat rw 0 0\n");
  std::string drive = Usb::firstDrive(path.c_str());
  EXPECT_EQ(drive, folder.substr(0, 58) + "/");
}

TEST_F(UsbTest, NoDriveOrNoTableGivesEmptyText) {
  std::string path = table(std::string(kRoot) + kProc);
  EXPECT_EQ(Usb::firstDrive(path.c_str()), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Usb::firstDrive(dir_.file("missing").c_str()), "");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "mountinfo. could not open: No such file or directory\n");
}

}  // namespace

TEST(DirsTest, TimeFolderIsOnTheDriveOnlyWhenThereIsOneAndJoinsWithOneSlash) {
  struct Row {
    int mode;
    const char* drive;
    const char* base;
    const char* folder;
  } rows[] = {
      {MODE_PI, "/media/pi/DATA/", "./", "/media/pi/DATA/time/"},
      {MODE_PI, "", "./", "./time/"},  // no drive: never "/time/" at the root
      {MODE_DEFAULT, "/media/pi/DATA/", "/srv/hub/", "/srv/hub/time/"},
      {MODE_PI, "/media/x", "./", "/media/x/time/"},
  };
  for (const Row& r : rows) EXPECT_EQ(timeFolder(r.mode, r.drive, r.base), r.folder) << r.drive;
  EXPECT_EQ(joinPath("/", "time/"), "/time/");
  EXPECT_EQ(joinPath("a//", "/b"), "a/b");
}
