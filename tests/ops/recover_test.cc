// A failure or an interrupt during an extract in place never loses a member:
// the package is left valid, holding exactly the members not yet out, and
// running the same command again finishes the job.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/helpers.h"

#ifndef FS_IOC_SHUTDOWN
#define FS_IOC_SHUTDOWN _IOR('X', 125, unsigned)
#endif

namespace kb {
namespace {

using test::read_file;

// A (1800000 bytes, four pieces) at 0, B (300000) at 1800000, C (1000) at
// 2100000. Extract takes C, then B, then A: the package's freads are the
// trailer (1), C (2), B (3), then A's pieces (4 to 7).
class Recover : public test::pac_test {
 protected:
  void SetUp() override { make_in(dir_); }

  void make_in(const std::string& dir) {
    work_ = dir;
    ms_ = {{"system", "A", test::random_bytes(1800000, 1)},
           {"modem", "B", test::random_bytes(300000, 2)},
           {"idu", "C", test::random_bytes(1000, 3)}};
    std::vector<std::string> args = {"-m", work_ + "/p.pac"};
    for (const auto& m : ms_) {
      test::write_file(at("in/" + m.name), m.bytes);
      args.insert(args.end(), {"-a", m.type + "," + at("in/" + m.name) + ",1"});
    }
    ASSERT_EQ(run(args).status, 0);
    listing_ = test::run_tool(work_, {"-l", "p.pac"}).out;
    for (const auto& m : ms_) std::remove((work_ + "/" + m.name).c_str());
  }

  // The listing of a package holding just the members named in left.
  std::string listing_of(const std::string& left) {
    std::string out = listing_.substr(0, listing_.find("\r\n\r\n") + 2);
    for (std::size_t at = out.size(), k = 0; k < ms_.size(); ++k) {
      std::size_t end = listing_.find("\r\n", at + 2) + 2;
      if (left.find(ms_[k].name) != std::string::npos) out += listing_.substr(at, end - at);
      at = end;
    }
    return out;
  }

  // After a failed run: the package lists exactly the members in left and
  // the directory holds only the package and finished outputs; then the
  // same command finishes and every output equals its input.
  void expect_recoverable(const std::string& left, const std::vector<std::string>& args) {
    auto r = test::run_tool(work_, {"-l", "p.pac"});
    EXPECT_EQ(r.out, listing_of(left));
    for (const auto& m : ms_) {
      EXPECT_EQ(test::file_size(work_ + "/" + m.name) >= 0, left.find(m.name) == std::string::npos)
          << m.name;
    }
    r = test::run_tool(work_, args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(test::file_size(work_ + "/p.pac"), 0);
    for (const auto& m : ms_) {
      std::string mapped = work_ + "/" + m.type + "dir/" + m.name;
      if (test::file_size(mapped) < 0) mapped = work_ + "/" + m.name;
      EXPECT_TRUE(read_file(mapped) == m.bytes) << m.name;
    }
  }

  std::string work_;
  std::vector<test::member_file> ms_;
  std::string listing_;
};

std::string holds(std::size_t n) {
  return "\r\n package p.pac now holds the " + std::to_string(n) +
         " members not yet extracted \r\n";
}

TEST_F(Recover, StreamFaultsAtEveryStage) {
  SKIP_WITHOUT_FAULT_INJECTION();
  const std::string write_error = "\r\n fwrite error:0 \r\n";
  const std::string read_error = "\r\n crypt_fread error:0 \r\n";
  const std::string stop = "\r\n extract of p.pac was interrupted! \r\n";
  const std::string term = ":" + std::to_string(SIGTERM);
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"write:/A:1", write_error, "A"},  // A's first, second and last piece
      {"write:/A:2", write_error, "A"},
      {"write:/A:4", write_error, "A"},  // three pieces already out go back
      {"write:/B:1", write_error, "AB"},
      {"read:/p.pac:4", read_error, "A"},
      {"read:/p.pac:7", read_error, "A"},
      {"read:/p.pac:3", read_error, "AB"},
      {"raise:/p.pac:5" + term, stop, "A"},
      {"raise:/p.pac:3" + term, stop, "A"},  // B finishes first
  };
  for (const auto& [fault, message, left] : cases) {
    SCOPED_TRACE(fault);
    auto r = run({"-e", "p.pac"}, test::fault_env(fault));
    EXPECT_EQ(r.status, 255);
    const std::string tail = message + holds(left.size());
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), tail);
    expect_recoverable(left, {"-e", "p.pac"});
    make_in(dir_);
  }
  // A stop asked for during the last piece lets the run finish.
  auto r = run({"-e", "p.pac"}, test::fault_env("raise:/p.pac:7" + term));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(read_file(at("A")) == ms_[0].bytes);
}

TEST_F(Recover, DestinationDirectoryGoneMidRun) {
  SKIP_WITHOUT_FAULT_INJECTION();
  for (const auto& [type, gone_at, left] : {std::tuple{"modem", "2", "AB"}, {"system", "3", "A"}}) {
    SCOPED_TRACE(type);
    const std::string mapped = at(std::string(type) + "dir");
    ASSERT_EQ(mkdir(mapped.c_str(), 0755), 0);
    const std::vector<std::string> args = {"-e", "p.pac", "-d", type + std::string(",") + mapped};
    auto r = run(args, test::fault_env(std::string("rmdir:/p.pac:") + gone_at + ":" + mapped));
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(
        r.out.find("\r\ndest directory " + mapped + " not exit! \r\n" + holds(std::strlen(left))),
        std::string::npos)
        << r.out;
    ASSERT_EQ(mkdir(mapped.c_str(), 0755), 0);
    expect_recoverable(left, args);
    std::filesystem::remove_all(mapped);
    make_in(dir_);
  }
}

TEST_F(Recover, ADamagedMemberGoesBackAndARetryFailsAlike) {
  // A byte of A's last stored piece (its first piece out), of its first
  // stored piece (its last out), and of B.
  for (const auto& [pos, name, left] :
       {std::tuple{1600000, "A", "A"}, {100, "A", "A"}, {1800100, "B", "AB"}}) {
    SCOPED_TRACE(pos);
    std::string pkg = read_file(at("p.pac"));
    pkg[pos] ^= 1;
    test::write_file(at("p.pac"), pkg);
    auto r = run({"-e", "p.pac"});
    EXPECT_EQ(r.status, 255);
    const std::string tail = r.out.substr(r.out.rfind("\r\n file "));
    EXPECT_EQ(tail.substr(tail.find(" not right! ")), " not right! \r\n" + holds(strlen(left)));
    EXPECT_EQ(run({"-l", "p.pac"}).out, listing_of(left));
    r = run({"-e", "p.pac"});
    EXPECT_EQ(r.out.substr(r.out.rfind("\r\n file ")), tail);
    EXPECT_EQ(test::file_size(at(name)), -1);
    std::string now = read_file(at("p.pac"));  // the member is back where it was
    now[pos] ^= 1;
    test::write_file(at("p.pac"), now);
    expect_recoverable(left, {"-e", "p.pac"});
    make_in(dir_);
  }
}

// X (9500000 bytes: checkpoints of 8, 8 and 3 pieces), Y (700000, two
// pieces) and Z (1000) come out Z, Y, X: the package is cut once for Z
// (1), once for Y (2) and three times for X (3 to 5); its freads are the
// trailer (1), Z (2), Y (3, 4) and X's pieces (5 on).
class Crash : public test::pac_test {
 protected:
  void SetUp() override {
    ms_ = {{"system", "X", test::random_bytes(9500000, 4)},
           {"modem", "Y", test::random_bytes(700000, 5)},
           {"idu", "Z", test::random_bytes(1000, 6)}};
  }
  // The same command, run again, finishes; every output equals its input
  // and nothing stray is left.
  void expect_finished(const std::string& dir) {
    auto r = test::run_tool(dir, {"-e", "p.pac"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(test::file_size(dir + "/p.pac"), 0);
    for (const auto& m : ms_) EXPECT_TRUE(read_file(dir + "/" + m.name) == m.bytes) << m.name;
    auto names = test::list_dir(dir);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](auto& n) { return n == "lost+found" || n == "in"; }),
                names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"X", "Y", "Z", "p.pac"}));
  }
  std::vector<test::member_file> ms_;
};

TEST_F(Crash, AKillAnywhereIsFinishedByTheSameCommand) {
  SKIP_WITHOUT_FAULT_INJECTION();
  const std::string cases[] = {
      "kill:/p.pac:1:truncate",  // just after the journal is written
      "kill:/p.pac:2:truncate",  // Y written, not yet cut
      "kill:/p.pac:5:fread",     // at the member boundary between Y and X
      "kill:/p.pac:3:truncate",  // X's first, middle and last checkpoint
      "kill:/p.pac:4:truncate",
      "kill:/p.pac:5:truncate",
      "kill:/p.pac.journal:1:unlink",                 // just before the journal is removed
      "write:/X:12;kill:/p.pac:3:fsync",              // putting X back after a failure
      "write:/X:12;kill:/p.pac.journal.tmp:2:fsync",  // before its trailer
  };
  ASSERT_EQ(mkdir(at("w").c_str(), 0755), 0);
  for (const auto& fault : cases) {
    SCOPED_TRACE(fault);
    make(ms_, at("w/p.pac"));
    auto r = test::run_tool(at("w"), {"-e", "p.pac"}, test::fault_env(fault));
    EXPECT_EQ(r.status, 128 + SIGKILL) << r.out;
    if (fault != cases[0]) {
      EXPECT_EQ(
          test::run_tool(at("w"), {"-l", "p.pac"}).out,
          "\r\n an extract of p.pac was cut short, run kestrelbind -e p.pac to finish it! \r\n");
    }
    expect_finished(at("w"));
    for (const auto& m : ms_) std::remove(at("w/" + m.name).c_str());
  }
}

// A tmpfs of the given options mounted for one test, or a reason to skip.
class tmpfs_mount {
 public:
  tmpfs_mount(const std::string& at, const std::string& options) : at_(at) {
    mkdir(at.c_str(), 0755);
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) error_ = std::strerror(errno);
  }
  ~tmpfs_mount() {
    if (error_.empty()) umount2(at_.c_str(), MNT_DETACH);
  }
  bool remount(const std::string& options) {
    return mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
  }
  std::string at_, error_;
};

#define MOUNT_OR_SKIP(m) \
  if (!(m).error_.empty()) GTEST_SKIP() << "cannot mount a tmpfs here: " << (m).error_

TEST_F(Recover, NearlyFullFlashExtractsCompletely) {
  // 2125160 bytes of package on a 2076 KiB filesystem: not one page to spare.
  tmpfs_mount flash(at("flash"), "size=2076k");
  MOUNT_OR_SKIP(flash);
  make_in(flash.at_);
  expect_recoverable("ABC", {"-e", "p.pac"});
}

TEST_F(Recover, OutputFilesystemFillsMidMember) {
  // A's output lands on a small filesystem: 768 KiB fails in its second
  // piece, part written; the package is on another filesystem.
  tmpfs_mount out(at("systemdir"), "size=768k");
  MOUNT_OR_SKIP(out);
  const std::vector<std::string> args = {"-e", "p.pac", "-d", "system,systemdir"};
  auto r = run(args);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("\r\n fwrite error:0 \r\n" + holds(1)), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("/systemdir/A: No space left on device\n"), std::string::npos) << r.err;
  EXPECT_EQ(test::list_dir(at("systemdir")), std::vector<std::string>{});
  // A read onto the full disk blames the disk on stderr, not only the digest.
  r = test::run_tool(at("systemdir"), {"-r", "../p.pac", "-n", "A"});
  EXPECT_EQ(r.out.find("\r\n file A checksum "), 0u);
  EXPECT_EQ(r.err.find("kestrelbind: A: No space left on device"), 0u) << r.err;
  std::remove(at("systemdir/A").c_str());
  ASSERT_TRUE(out.remount("size=4m"));
  expect_recoverable("A", args);
}

TEST_F(Recover, AReadOnlyFilesystemIsNamedOnStderr) {
  tmpfs_mount ro(at("ro"), "size=1m");
  MOUNT_OR_SKIP(ro);
  ASSERT_TRUE(ro.remount("ro"));
  auto r = test::run_tool(at("ro"), {"-r", "../p.pac", "-n", "C"});
  EXPECT_EQ(r.out, "\r\n can not write to file:C \r\n");
  EXPECT_EQ(r.err, "kestrelbind: C: Read-only file system\n");
}

TEST_F(Recover, InodesRunOutOnTheFlash) {
  // Room for the root, the package, its journal and two outputs: A's
  // output cannot be made.
  tmpfs_mount flash(at("flash"), "size=8m,nr_inodes=5");
  MOUNT_OR_SKIP(flash);
  make_in(flash.at_);
  auto r = test::run_tool(work_, {"-e", "p.pac"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.substr(r.out.find("\r\n can not write")),
            "\r\n can not write to file:A \r\n" + holds(1));
  ASSERT_TRUE(flash.remount("nr_inodes=16"));
  expect_recoverable("A", {"-e", "p.pac"});
}

TEST_F(Crash, AJournalThatIsNotRightIsNeverFollowed) {
  SKIP_WITHOUT_FAULT_INJECTION();
  make(ms_);
  test::run_tool(dir_, {"-e", "p.pac"}, test::fault_env("kill:/p.pac:2:truncate"));
  const std::string journal = read_file(at("p.pac.journal")), pkg = read_file(at("p.pac"));
  ASSERT_FALSE(journal.empty());
  auto rehashed = [](std::string text) {  // a digest that matches what was changed
    text.erase(text.rfind("md5 "));
    return text + "md5 " + test::md5_of(text) + "\n";
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = journal;
    return rehashed(text.replace(text.find(from), from.size(), to));
  };
  const std::string damaged = "\r\n journal p.pac.journal is damaged, refusing to follow it! \r\n";
  std::string flipped = journal;
  flipped[20000] ^= 1;
  const std::pair<std::string, std::string> cases[] = {
      {flipped, damaged},
      {journal.substr(0, journal.size() / 2), damaged},
      {journal + "x", damaged},
      {replaced("output 2 1\nZ\n", "output 2 4\n../Z\n"), damaged},
      {replaced("output 2 1\nZ\n", "output 2 1\nQ\n"), damaged},
      {replaced("length ", "length 1"), damaged},
      {replaced("length 10225160", "length 10225159"), damaged},
      {replaced("restored -1", "restored 99999999"),
       "\r\n journal p.pac.journal does not match package p.pac, refusing to follow it! \r\n"},
  };
  for (const auto& [bytes, message] : cases) {
    test::write_file(at("p.pac.journal"), bytes);
    auto r = run({"-e", "p.pac"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, message);
    EXPECT_TRUE(read_file(at("p.pac")) == pkg);
    EXPECT_TRUE(read_file(at("p.pac.journal")) == bytes);
  }
  test::write_file(at("p.pac.journal"), journal);
  expect_finished(dir_);
}

// An ext4 filesystem on a loop device, mounted with a one-second commit
// interval, that a test can shut down as a power cut would and mount again.
class ext4_mount {
 public:
  explicit ext4_mount(const std::string& at) : at_(at), image_(at + ".img") {
    mkdir(at.c_str(), 0755);
    test::write_file(image_, "");
    if (truncate(image_.c_str(), 64 << 20) != 0 ||
        std::system(("mkfs.ext4 -q -F " + image_ + " >/dev/null 2>&1").c_str()) != 0) {
      error_ = "mkfs.ext4 failed";
    } else if (!mount_again()) {
      error_ = "mount -o loop refused (not root, or no loop devices)";
    }
  }
  ~ext4_mount() {
    if (error_.empty()) unmount();
  }
  bool mount_again() {
    return std::system(("mount -o loop,commit=1 " + image_ + " " + at_ + " 2>/dev/null").c_str()) ==
           0;
  }
  void unmount() { std::system(("umount " + at_ + " 2>/dev/null").c_str()); }
  // The filesystem stops here, its log unflushed: a power cut.
  void power_cut() {
    int fd = open(at_.c_str(), O_RDONLY | O_DIRECTORY);
    unsigned flags = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH
    ioctl(fd, FS_IOC_SHUTDOWN, &flags);
    close(fd);
  }
  void sync() {
    int fd = open(at_.c_str(), O_RDONLY | O_DIRECTORY);
    syncfs(fd);
    close(fd);
  }
  std::string at_, image_, error_;
};

TEST_F(Crash, APowerCutIsFinishedByTheSameCommand) {
  SKIP_WITHOUT_FAULT_INJECTION();
  ext4_mount disk(at("disk"));
  if (!disk.error_.empty()) GTEST_SKIP() << "no ext4 to cut the power of: " << disk.error_;
  for (const std::string fault :
       {"cut:/p.pac:2:truncate", "cut:/p.pac:4:truncate", "cut:/p.pac.journal:1:unlink", ""}) {
    SCOPED_TRACE(fault);
    make(ms_, disk.at_ + "/p.pac");
    disk.sync();
    auto r = test::run_tool(disk.at_, {"-e", "p.pac"}, test::fault_env(fault));
    EXPECT_EQ(r.status, fault.empty() ? 0 : 128 + SIGKILL);
    if (fault.empty()) disk.power_cut();  // a completed run survives a power cut after it
    disk.unmount();
    ASSERT_TRUE(disk.mount_again());
    if (fault.empty()) {
      EXPECT_EQ(test::file_size(disk.at_ + "/p.pac"), 0);
      EXPECT_EQ(test::file_size(disk.at_ + "/p.pac.journal"), -1);
      for (const auto& m : ms_) EXPECT_TRUE(read_file(disk.at_ + "/" + m.name) == m.bytes);
    } else {
      expect_finished(disk.at_);
    }
    for (const auto& m : ms_) std::remove((disk.at_ + "/" + m.name).c_str());
  }
}

}  // namespace
}  // namespace kb
