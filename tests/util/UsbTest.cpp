#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/Usb.h"

namespace {

constexpr char kRoot[] = "/dev/root / ext4 rw,noatime 0 0\n";

TEST(UsbTest, FirstDriveIsTheFirstMountUnderAMediaFolder) {
  const std::string longFolder = "/media/" + std::string(70, 'x');
  struct Case {
    std::string mounts, drive;
  } cases[] = {
      {"proc /proc proc rw,nosuid 0 0\n/dev/sda1 /media/pi/DATA vfat rw 0 0\n", "/media/pi/DATA/"},
      {"/dev/sdb1 /media/pi/SECOND vfat rw 0 0\n/dev/sda1 /media/pi/FIRST vfat rw 0 0\n",
       "/media/pi/SECOND/"},
      {"/dev/sdc1 /mnt/multimedia ext4 rw 0 0\n", "/mnt/multimedia/"},
      {"/dev/sda1 /media/pi/MY\\040DISK vfat rw 0 0\n", "/media/pi/MY DISK/"},
      {"/dev/sda1 " + longFolder + " vfat rw 0 0\n", longFolder.substr(0, 58) + "/"},
      {"proc /proc proc rw 0 0\n", ""},
  };
  TempDir dir;
  for (const Case& c : cases) {
    writeText(dir.file("mounts"), kRoot + c.mounts);
    EXPECT_EQ(Usb::firstDrive(dir.file("mounts").c_str()), c.drive) << c.mounts;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(Usb::firstDrive(dir.file("missing").c_str()), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "mountinfo. could not open: No such file or directory\n");
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
