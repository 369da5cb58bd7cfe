// An extract in place never loses a member: after a handled failure or an
// interrupt the package is left valid, holding exactly the members not yet
// out; after a kill or a power cut its journal says how to go on; either
// way the same command, run again, finishes the job.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <set>

#include "support/helpers.h"

namespace kb::test {

// X (9500000 bytes: checkpoints of 8 and then 11 pieces, as they double) at
// 0, Y (700000, two pieces) and Z (1000) come out Z, Y, X. The package is
// cut, and each cut synced, once for Z (1), once for Y (2) and twice for X
// (3 and 4). A member's pieces are stored last first: the read of its first
// piece reaches its last byte, that of its last piece its first. Its output
// is written from the start, piece n reaching byte (n - 1) * 524288.
class Recover : public pac_test {
 protected:
  void SetUp() override { make_in(at("w")); }
  void TearDown() override {
    for (auto m = mounts_.rbegin(); m != mounts_.rend(); ++m) umount2(m->c_str(), MNT_DETACH);
  }

  void make_in(const std::string& work) {
    std::filesystem::create_directories(work_ = work);
    for (const auto& m : ms_) {  // outputs, and mapped directories (a mount point stays)
      std::filesystem::remove_all(work_ + "/" + m.name);
      std::filesystem::remove_all(work_ + "/" + m.type + "dir", ec_);
    }
    make(ms_, work_ + "/p.pac");
  }

  // The same command, run again (none: the run is over), finishes the job:
  // the package is empty, every output (in <type>dir where that exists)
  // equals its input, and nothing stray is left.
  void expect_finished(const std::vector<std::string>& args) {
    EXPECT_TRUE(args.empty() || run_tool(work_, args).status == 0);
    EXPECT_EQ(file_size(work_ + "/p.pac"), 0);
    names want = {"p.pac"}, got = list_dir(work_);
    got.erase("lost+found");
    for (const auto& m : ms_) {
      const std::string dir = got.count(m.type + "dir") ? m.type + "dir" : "";
      want.insert(dir.empty() ? m.name : dir);
      EXPECT_TRUE(read_file(work_ + "/" + dir + "/" + m.name) == m.bytes) << m.name;
    }
    EXPECT_EQ(got, want);
  }

  // Mounts a filesystem at dir for this test: a tmpfs of the given options,
  // or (options empty) ext4 on a loop device with a one-second commit, which
  // a test can cut the power of and mount again.
  bool mounted(const std::string& dir, const std::string& options,
               const std::string& size = "64M") {
    std::filesystem::create_directories(dir);
    const std::string sh = options.empty()
                               ? "truncate -s " + size + " " + dir + ".img && mkfs.ext4 -q -F " +
                                     dir + ".img && " + ext4_mount(dir)
                               : "mount -t tmpfs -o " + options + " tmpfs " + dir;
    return std::system((sh + " >/dev/null 2>&1").c_str()) == 0 && (mounts_.push_back(dir), true);
  }
  // mount's loop option attaches the device with autoclear: it goes with
  // the last unmount.
  static std::string ext4_mount(const std::string& dir) {
    return "mount -o loop,commit=1 " + dir + ".img " + dir;
  }
  // After a power cut: the image as the cut left it, copied to a new file
  // on a new loop device, since a filesystem that another mount namespace
  // still holds would come back shut down; false when it still did.
  static bool remounted_fresh(const std::string& dir) {
    const std::string img = dir + ".img";
    const std::string sh = "umount " + dir + " && cp --sparse=always " + img + " " + img +
                           ".new && mv -f " + img + ".new " + img + " && " + ext4_mount(dir);
    if (std::system((sh + " >/dev/null 2>&1").c_str()) != 0) return false;
    const int fd = open((dir + "/.fresh").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    return fd >= 0 && close(fd) == 0 && unlink((dir + "/.fresh").c_str()) == 0;
  }
  // The filesystem at dir stops here, its log not flushed
  // (FS_IOC_SHUTDOWN, EXT4_GOING_FLAGS_NOLOGFLUSH).
  static void power_off(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY);
    unsigned flags = 2;
    ioctl(fd, _IOR('X', 125, unsigned), &flags), close(fd);
  }

  std::string work_;
  std::vector<std::string> mounts_;
  const std::vector<member_file> ms_ = {{"system", "X", random_bytes(9500000, 4)},
                                        {"modem", "Y", random_bytes(700000, 5)},
                                        {"idu", "Z", random_bytes(1000, 6)}};
};

inline const char* const refused = "mounting is refused here (not root, or no loop devices)";
inline const char* const not_fresh =
    "the remount after a power cut got the shut-down filesystem back (another mount namespace "
    "holds it)";

inline std::string holds(std::size_t n) {
  return "\r\n package p.pac now holds the " + std::to_string(n) +
         " members not yet extracted \r\n";
}

inline bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace kb::test
