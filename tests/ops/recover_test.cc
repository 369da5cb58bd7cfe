// An extract in place never loses a member: after a handled failure or an
// interrupt the package is left valid, holding exactly the members not yet
// out; after a kill or a power cut its journal says how to go on; either
// way the same command, run again, finishes the job.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>

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

// X (9500000 bytes: checkpoints of 8, 8 and 3 pieces) at 0, Y (700000, two
// pieces) and Z (1000) come out Z, Y, X. The package is cut once for Z (1),
// once for Y (2) and three times for X (3 to 5); its freads are the trailer
// (1), Z (2), Y (3, 4) and X's pieces (5 to 23).
class Recover : public test::pac_test {
 protected:
  void SetUp() override { make_in(at("w")); }

  void make_in(const std::string& work) {
    work_ = work;
    mkdir(work_.c_str(), 0755);
    for (const auto& m : ms_) std::filesystem::remove_all(work_ + "/" + m.name);
    make(ms_, work_ + "/p.pac");
    listing_ = test::run_tool(work_, {"-l", "p.pac"}).out;
  }

  // After a failed run the package lists just the members in left (after
  // a crash, "?": it cannot be listed) and the others are out; then the
  // same command finishes, every output equals its input, nothing is stray.
  void expect_finished(const std::string& left, const std::vector<std::string>& args) {
    std::string listing = listing_.substr(0, listing_.find("\r\n\r\n") + 2);
    for (std::size_t at = listing.size(), k = 0; k < ms_.size(); ++k) {
      std::size_t end = listing_.find("\r\n", at + 2) + 2;
      if (left.find(ms_[k].name) != std::string::npos) listing += listing_.substr(at, end - at);
      at = end;
    }
    if (left != "?") {
      EXPECT_EQ(test::run_tool(work_, {"-l", "p.pac"}).out, listing);
    }
    auto r = test::run_tool(work_, args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(test::file_size(work_ + "/p.pac"), 0);
    std::vector<std::string> names = {"p.pac"};
    for (const auto& m : ms_) {
      std::string mapped = m.type + "dir";
      if (test::file_size(work_ + "/" + mapped) < 0) mapped = ".";
      names.push_back(mapped == "." ? m.name : mapped);
      EXPECT_TRUE(read_file(work_ + "/" + mapped + "/" + m.name) == m.bytes) << m.name;
    }
    if (test::file_size(work_ + "/lost+found") >= 0) names.push_back("lost+found");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(test::list_dir(work_), names);
  }

  std::string work_, listing_;
  const std::vector<test::member_file> ms_ = {{"system", "X", test::random_bytes(9500000, 4)},
                                              {"modem", "Y", test::random_bytes(700000, 5)},
                                              {"idu", "Z", test::random_bytes(1000, 6)}};
};

std::string holds(std::size_t n) {
  return "\r\n package p.pac now holds the " + std::to_string(n) +
         " members not yet extracted \r\n";
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct fault_case {
  std::string fault, message, left;  // message empty: the fault kills the run
  std::string mapped = "";           // a type mapped to "<type>dir"
};

TEST_F(Recover, AFaultAnywhereIsFinishedByTheSameCommand) {
  SKIP_WITHOUT_FAULT_INJECTION();
  const std::string write = "\r\n fwrite error:0 \r\n", read = "\r\n crypt_fread error:0 \r\n";
  const std::string stop = "\r\n extract of p.pac was interrupted! \r\n", term = ":15";
  const fault_case cases[] = {
      {"write:/X:1", write, "X"},  // X's first piece, one past a checkpoint, its last
      {"write:/X:9", write, "X"},
      {"write:/X:19", write, "X"},
      {"write:/Y:2", write, "XY"},
      {"read:/p.pac:5", read, "X"},
      {"read:/p.pac:23", read, "X"},
      {"read:/p.pac:3", read, "XY"},
      {"raise:/p.pac:6" + term, stop, "X"},
      {"raise:/p.pac:4" + term, stop, "X"},  // Y's last piece: Y finishes first
      {"rmdir:/p.pac:2:" + at("w/modemdir"),
       "\r\ndest directory " + at("w/modemdir") + " not exit! \r\n", "XY", "modem"},
      {"rmdir:/p.pac:4:" + at("w/systemdir"),
       "\r\ndest directory " + at("w/systemdir") + " not exit! \r\n", "X", "system"},
      {"kill:/p.pac:1:truncate", "", "XYZ"},  // just after the journal is written
      {"kill:/p.pac:2:truncate", "", "?"},    // Y written, not yet cut
      {"kill:/p.pac:5:fread", "", "?"},       // between Y and X
      {"kill:/p.pac:3:truncate", "", "?"},    // X's first, middle and last checkpoint
      {"kill:/p.pac:4:truncate", "", "?"},
      {"kill:/p.pac:5:truncate", "", "?", "system"},
      {"kill:/p.pac.journal:1:unlink", "", "?"},                 // just before the journal goes
      {"write:/X:12;kill:/p.pac:3:fsync", "", "?"},              // while X is put back
      {"write:/X:12;kill:/p.pac.journal.tmp:2:fsync", "", "?"},  // before its trailer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::vector<std::string> args = {"-e", "p.pac"};
    if (!c.mapped.empty()) {
      mkdir((work_ + "/" + c.mapped + "dir").c_str(), 0755);
      args.insert(args.end(), {"-d", c.mapped + "," + c.mapped + "dir"});
    }
    auto r = test::run_tool(work_, args, test::fault_env(c.fault));
    if (c.message.empty()) {
      EXPECT_EQ(r.status, 128 + SIGKILL);
      if (c.left == "?") {
        EXPECT_EQ(test::run_tool(work_, {"-r", "p.pac", "-n", "X"}).out,
                  "\r\n an extract of p.pac was cut short, run kestrelbind -e p.pac to finish "
                  "it! \r\n");
      }
    } else {
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(ends_with(r.out, c.message + holds(c.left.size()))) << r.out;
    }
    if (!c.mapped.empty()) mkdir((work_ + "/" + c.mapped + "dir").c_str(), 0755);
    expect_finished(c.left, args);
    if (!c.mapped.empty()) std::filesystem::remove_all(work_ + "/" + c.mapped + "dir");
    make_in(work_);
  }
  // A stop asked for during the last piece lets the run finish.
  EXPECT_EQ(
      test::run_tool(work_, {"-e", "p.pac"}, test::fault_env("raise:/p.pac:23" + term)).status, 0);
}

TEST_F(Recover, ADamagedMemberGoesBackAndARetryFailsAlike) {
  // A byte of X's last stored piece (its first out), of its first stored
  // piece (its last out), and of Y.
  for (const auto& [pos, name, left] :
       {std::tuple{9400000, "X", "X"}, {100, "X", "X"}, {9500100, "Y", "XY"}}) {
    SCOPED_TRACE(pos);
    std::string pkg = read_file(work_ + "/p.pac");
    pkg[pos] ^= 1;
    test::write_file(work_ + "/p.pac", pkg);
    auto r = test::run_tool(work_, {"-e", "p.pac"});
    const std::string tail = r.out.substr(r.out.rfind("\r\n file "));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ends_with(tail, " not right! \r\n" + holds(strlen(left)))) << tail;
    r = test::run_tool(work_, {"-e", "p.pac"});
    EXPECT_EQ(r.out.substr(r.out.rfind("\r\n file ")), tail);
    EXPECT_EQ(test::file_size(work_ + "/" + name), -1);
    r = test::run_tool(work_, {"-e", "p.pac", "-p", "-t", ms_[name[0] - 'X'].type});
    EXPECT_EQ(r.out, tail.substr(0, tail.find(" not right! ") + 14));  // -p leaves it to see
    EXPECT_EQ(test::file_size(work_ + "/" + name), std::int64_t(ms_[name[0] - 'X'].bytes.size()));
    std::remove((work_ + "/" + name).c_str());
    std::string now = read_file(work_ + "/p.pac");  // the member is back where it was
    now[pos] ^= 1;
    test::write_file(work_ + "/p.pac", now);
    expect_finished(left, {"-e", "p.pac"});
    make_in(work_);
  }
}

TEST_F(Recover, AJournalThatIsNotRightIsNeverFollowed) {
  SKIP_WITHOUT_FAULT_INJECTION();
  test::run_tool(work_, {"-e", "p.pac"}, test::fault_env("kill:/p.pac:2:truncate"));
  const std::string journal = read_file(work_ + "/p.pac.journal");
  const std::string pkg = read_file(work_ + "/p.pac");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = journal;
    text.replace(text.find(from), from.size(), to);
    text.erase(text.rfind("md5 "));  // with a digest that matches the change
    return text + "md5 " + test::md5_of(text) + "\n";
  };
  const std::string damaged = "\r\n journal p.pac.journal is damaged, refusing to follow it! \r\n";
  auto output = [](const std::string& path) {  // slot 2's planned output
    return "output 2 " + std::to_string(path.size()) + "\n" + path + "\n";
  };
  const std::string z = output(work_ + "/Z");
  std::string flipped = journal;
  flipped[20000] ^= 1;
  const std::pair<std::string, std::string> cases[] = {
      {flipped, damaged},
      {journal.substr(0, journal.size() / 2), damaged},
      {journal + "x", damaged},
      {replaced(z, output(work_ + "/../Z")), damaged},
      {replaced(z, output(work_ + "/Q")), damaged},
      {replaced(z, output(work_ + "/Y")), damaged},  // Y's path twice
      {replaced("length ", "length 1"), damaged},
      {replaced("length 10225160", "length 10225159"), damaged},
      {replaced("restored -1", "restored 99999999"),
       "\r\n journal p.pac.journal does not match package p.pac, refusing to follow it! \r\n"},
  };
  for (const auto& [bytes, message] : cases) {
    test::write_file(work_ + "/p.pac.journal", bytes);
    expect(work_, {"-e", "p.pac"}, 255, message);
    EXPECT_TRUE(read_file(work_ + "/p.pac") == pkg);
    EXPECT_TRUE(read_file(work_ + "/p.pac.journal") == bytes);
  }
  test::write_file(work_ + "/p.pac.journal", journal);
  expect_finished("?", {"-e", "p.pac"});
}

// A filesystem mounted for one test, or a reason to skip: a tmpfs of the
// given options, or (options empty) ext4 on a loop device with a one-second
// commit, which a test can cut the power of and mount again.
class test_mount {
 public:
  test_mount(const std::string& at, const std::string& options) : at_(at) {
    mkdir(at.c_str(), 0755);
    if (!options.empty()) {
      if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) error_ = strerror(errno);
      return;
    }
    test::write_file(at + ".img", "");
    if (truncate((at + ".img").c_str(), 64 << 20) != 0 ||
        std::system(("mkfs.ext4 -q -F " + at + ".img >/dev/null 2>&1").c_str()) != 0) {
      error_ = "mkfs.ext4 failed";
    } else if (!mount_again()) {
      error_ = "mount -o loop refused (not root, or no loop devices)";
    }
  }
  ~test_mount() {
    if (error_.empty()) umount2(at_.c_str(), MNT_DETACH);
  }
  bool mount_again() {
    return std::system(
               ("mount -o loop,commit=1 " + at_ + ".img " + at_ + " 2>/dev/null").c_str()) == 0;
  }
  bool remount(const std::string& options) {
    return mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
  }
  // A sync of the filesystem, or (shutdown) a power cut: it stops here,
  // its log not flushed (EXT4_GOING_FLAGS_NOLOGFLUSH).
  void sync_or_cut(bool shutdown) {
    int fd = open(at_.c_str(), O_RDONLY | O_DIRECTORY);
    unsigned flags = 2;
    shutdown ? ioctl(fd, FS_IOC_SHUTDOWN, &flags) : syncfs(fd);
    close(fd);
  }
  std::string at_, error_;
};

#define MOUNT_OR_SKIP(m) \
  if (!(m).error_.empty()) GTEST_SKIP() << "cannot mount a filesystem here: " << (m).error_

TEST_F(Recover, FullAndReadOnlyFilesystems) {
  {
    // 10225160 bytes of package on a 9988 KiB tmpfs: not one page to spare.
    test_mount flash(at("flash"), "size=9988k");
    MOUNT_OR_SKIP(flash);
    make_in(flash.at_);
    expect_finished("XYZ", {"-e", "p.pac"});
  }
  // X's output lands on a small filesystem: 768 KiB fails in its second
  // piece; the package is on another filesystem.
  test_mount out(at("w/systemdir"), "size=768k");
  make_in(at("w"));
  MOUNT_OR_SKIP(out);
  const std::vector<std::string> args = {"-e", "p.pac", "-d", "system,systemdir"};
  auto r = test::run_tool(work_, args);
  EXPECT_TRUE(ends_with(r.out, "\r\n fwrite error:0 \r\n" + holds(1))) << r.out;
  EXPECT_NE(r.err.find("/systemdir/X: No space left on device\n"), std::string::npos) << r.err;
  EXPECT_EQ(test::list_dir(out.at_), std::vector<std::string>{});
  // A read there blames the disk on stderr, not only the digest.
  r = test::run_tool(out.at_, {"-r", "../p.pac", "-n", "X"});
  EXPECT_EQ(r.out.find("\r\n file X checksum "), 0u);
  EXPECT_EQ(r.err.find("kestrelbind: X: No space left on device"), 0u) << r.err;
  ASSERT_TRUE(out.remount("ro"));
  r = test::run_tool(out.at_, {"-r", "../p.pac", "-n", "X"});
  EXPECT_EQ(r.out + r.err,
            "\r\n can not write to file:X \r\nkestrelbind: X: Read-only file system\n");
  ASSERT_TRUE(out.remount("rw,size=16m"));
  std::remove((out.at_ + "/X").c_str());
  expect_finished("X", args);
}

TEST_F(Recover, APowerCutIsFinishedByTheSameCommand) {
  SKIP_WITHOUT_FAULT_INJECTION();
  test_mount disk(at("disk"), "");
  MOUNT_OR_SKIP(disk);
  // The injector lets the log commit, then cuts: what was only in memory
  // is lost. The last case cuts the power right after a completed run.
  for (const std::string fault :
       {"cut:/p.pac:2:truncate", "cut:/p.pac:4:truncate", "cut:/p.pac.journal:1:unlink", ""}) {
    SCOPED_TRACE(fault);
    make_in(disk.at_);
    disk.sync_or_cut(false);  // the package is on disk before the run
    auto r = test::run_tool(work_, {"-e", "p.pac"}, test::fault_env(fault));
    EXPECT_EQ(r.status, fault.empty() ? 0 : 128 + SIGKILL);
    if (fault.empty()) disk.sync_or_cut(true);
    std::system(("umount " + disk.at_).c_str());
    ASSERT_TRUE(disk.mount_again());
    if (fault.empty()) {
      EXPECT_EQ(test::list_dir(work_),
                (std::vector<std::string>{"X", "Y", "Z", "lost+found", "p.pac"}));
      for (const auto& m : ms_) EXPECT_TRUE(read_file(work_ + "/" + m.name) == m.bytes);
    } else {
      expect_finished("?", {"-e", "p.pac"});
    }
  }
}

}  // namespace
}  // namespace kb
