// An extract in place never loses a member: after a handled failure or an
// interrupt the package is left valid, holding exactly the members not yet
// out; after a kill or a power cut its journal says how to go on; either
// way the same command, run again, finishes the job.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <set>

#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

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
  bool mounted(const std::string& dir, const std::string& options) {
    std::filesystem::create_directories(dir);
    const std::string sh = options.empty() ? "truncate -s 64M " + dir + ".img && mkfs.ext4 -q -F " +
                                                 dir + ".img && " + ext4_mount(dir)
                                           : "mount -t tmpfs -o " + options + " tmpfs " + dir;
    return std::system((sh + " >/dev/null 2>&1").c_str()) == 0 && (mounts_.push_back(dir), true);
  }
  static std::string ext4_mount(const std::string& dir) {
    return "mount -o loop,commit=1 " + dir + ".img " + dir;
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

const char* const refused = "mounting is refused here (not root, or no loop devices)";

static std::string holds(std::size_t n) {
  return "\r\n package p.pac now holds the " + std::to_string(n) +
         " members not yet extracted \r\n";
}

static bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(Recover, AFaultAnywhereIsFinishedByTheSameCommand) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  const std::string write = "\r\n fwrite error:0 \r\n", read = "\r\n crypt_fread error:0 \r\n";
  const std::string stop = "\r\n extract of p.pac was interrupted! \r\n", term = ":15";
  auto gone = [&](const char* dir) { return "\r\ndest directory " + at(dir) + " not exit! \r\n"; };
  // The fault and, unless it kills the run, the run's last message and the
  // number of members it leaves in the package. X and Y go to mapped
  // directories, which a fault may remove.
  const std::tuple<std::string, std::string, int> cases[] = {
      {"write:/X:@0", write, 1},  // X's first piece, one past a checkpoint, its last
      {"write:/X:@4194304", write, 1},
      {"write:/X:@9437184", write, 1},
      {"write:/Y:@524288", write, 2},
      {"read:/p.pac:@9499999", read, 1},  // X's first piece, its last, Y's first
      {"read:/p.pac:@0", read, 1},
      {"read:/p.pac:@10199999", read, 2},
      {"raise:/p.pac:@8451424" + term, stop, 1},  // X's second piece
      {"raise:/p.pac:@9500000" + term, stop, 1},  // Y's last piece: Y finishes first
      {"rmdir:/p.pac:@10200000:" + at("w/modemdir"), gone("w/modemdir"), 2},  // Z's read
      {"rmdir:/p.pac:@9500000:" + at("w/systemdir"), gone("w/systemdir"), 1},
      {"kill:/p.pac:1:truncate", "", 0},         // just after the journal is written
      {"kill:/p.pac:2:truncate", "", 0},         // Y written, not yet cut
      {"kill:/p.pac:@9499999:read", "", 0},      // between Y and X
      {"kill:/p.pac:<9500000:truncate", "", 0},  // X's first and last checkpoint
      {"kill:/p.pac:<1:truncate", "", 0},
      {"kill:/p.pac.journal:1:unlink", "", 0},                       // just before it goes
      {"write:/X:@5767168;kill:/p.pac:5:fsync", "", 0},              // while X is put back
      {"write:/X:@5767168;kill:/p.pac.journal.tmp:2:fsync", "", 0},  // before its trailer
      // Pieces written since the checkpoint are in the package still: never read back.
      {"write:/X:@5767168;read:/X:@4194304", write, 1},
      {"write:/X:@5767168;write:/p.pac:1",
       write + "\r\n can not restore package p.pac: Input/output error! \r\n", -1},
      {"write:/X:@5767168;read:/X:@1",
       write + "\r\n can not restore package p.pac: unexpected end of file! \r\n", -1}};
  const auto args = words("-e p.pac -d system,systemdir -d modem,modemdir");
  for (const auto& [fault, message, left] : cases) {
    SCOPED_TRACE(fault);
    for (const char* d : {"/systemdir", "/modemdir"}) std::filesystem::create_directory(work_ + d);
    auto r = run_tool(work_, args, fault_env(fault));
    EXPECT_EQ(r.status, message.empty() ? 128 + SIGKILL : 255);
    EXPECT_TRUE(message.empty() || ends_with(r.out, message + (left < 0 ? "" : holds(left))))
        << r.out;
    for (const char* d : {"/systemdir", "/modemdir"}) std::filesystem::create_directory(work_ + d);
    expect_finished(args);
    make_in(work_);
  }
  // A stop asked for during the last piece lets the run finish.
  EXPECT_EQ(run_tool(work_, {"-e", "p.pac"}, fault_env("raise:/p.pac:@0" + term)).status, 0);
}

// A rerun that can not find what it must finish, or that finds another run
// at work, changes nothing at all; once the world is right, it finishes.
TEST_F(Recover, ARerunChangesNothingUntilItCanFinish) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  const auto args = words("-e p.pac -d system,systemdir");
  const std::string sys = work_ + "/systemdir", away = work_ + "/away";
  auto snapshot = [&] {
    return read_file(work_ + "/p.pac") + read_file(work_ + "/p.pac.journal") +
           std::to_string(list_dir(work_).size()) +
           std::to_string(std::filesystem::exists(away) ? list_dir(away).size() : 9);
  };
  // X cut short after its first checkpoint; then its partition is not there:
  // an empty directory in its place, or none at all.
  const std::string missing = "\r\n file " + sys +
                              "/X must hold the first 4194304 bytes of X, which "
                              "left the package, but it is missing; nothing is changed, run the "
                              "same command again once it is back! \r\n";
  const std::string elsewhere = "\r\n the extract of p.pac was started in " + work_ +
                                " with other destinations, run the same command there to finish "
                                "it! \r\n";
  for (const bool empty_dir : {true, false}) {
    std::filesystem::create_directory(sys);
    run_tool(work_, args, fault_env("kill:/p.pac:<1:truncate"));
    std::filesystem::rename(sys, away);
    if (empty_dir) std::filesystem::create_directory(sys);
    const std::string before = snapshot();
    for (int twice = 0; twice < 2; ++twice) {
      auto r = run_tool(work_, args);
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(ends_with(r.out, empty_dir ? missing : elsewhere)) << r.out;
      EXPECT_TRUE(snapshot() == before);
    }
    std::filesystem::remove_all(sys);
    std::filesystem::rename(away, sys);
    expect_finished(args);
    make_in(work_);
  }
  // Two runs at once: the first is held still in X's first piece; the
  // second, and a listing, find it at work and touch nothing.
  std::string env;
  for (const auto& e : fault_env("raise:/p.pac:@9499999:19")) env += " '" + e + "'";
  ASSERT_EQ(
      std::system(("cd " + work_ + " && env" + env +
                   " " KESTRELBIND_COMMAND " -e p.pac >/dev/null 2>&1 & echo $! >" + at("pid"))
                      .c_str()),
      0);
  const std::string pid = words(read_file(at("pid"))).at(0);
  for (int i = 0; i < 500 && read_file("/proc/" + pid + "/stat").find(") T ") == std::string::npos;
       ++i)
    usleep(10000);
  const std::string before = snapshot();
  const std::string busy = "\r\n another extract of p.pac is running, try again when it ends! \r\n";
  expect("-e p.pac", 255, busy, work_);
  expect("-l p.pac", 255, busy, work_);
  EXPECT_TRUE(snapshot() == before);
  kill(std::stoi(pid), SIGCONT);
  for (int i = 0; i < 1000 && file_size(work_ + "/p.pac") != 0; ++i) usleep(10000);
  usleep(200000);
  expect_finished({});
  // No room for the journal: the run goes on without it, and says so.
  make_in(work_);
  auto r = run_tool(work_, {"-e", "p.pac"}, fault_env("write:/p.pac.journal.tmp:1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("\r\n can not write the journal of p.pac, extracting without crash "
                       "safety! \r\n"),
            0u);
  EXPECT_NE(r.err.find("the extract goes on without crash safety"), std::string::npos) << r.err;
  expect_finished({});
}

TEST_F(Recover, ADamagedMemberGoesBackAndARetryFailsAlike) {
  // A byte of X's last stored piece (its first out), of its first stored
  // piece (its last out), and of Y.
  for (const auto& [pos, k, left] : {std::tuple{9400000, 0, 1}, {100, 0, 1}, {9500100, 1, 2}}) {
    SCOPED_TRACE(pos);
    const std::string out = work_ + "/" + ms_[k].name, pac = work_ + "/p.pac";
    auto flip = [&, pos = pos] { write_file(pac, flipped(read_file(pac), pos)); };
    flip();
    const std::string first = run_tool(work_, {"-e", "p.pac"}).out;
    const std::string tail = first.substr(first.rfind("\r\n file "));
    EXPECT_TRUE(ends_with(tail, " not right! \r\n" + holds(left))) << tail;
    EXPECT_EQ(run_tool(work_, {"-e", "p.pac"}).out, tail);  // the retry fails alike
    auto r = run_tool(work_, {"-e", "p.pac", "-p", "-t", ms_[k].type});
    EXPECT_EQ(r.out + holds(left), tail);  // -p installs it no more than a run in place
    EXPECT_EQ(file_size(out), -1);
    flip();  // the member is back where it was
    expect_finished({"-e", "p.pac"});
    make_in(work_);
  }
}

TEST_F(Recover, AJournalThatIsNotRightIsNeverFollowed) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  run_tool(work_, {"-e", "p.pac"}, fault_env("kill:/p.pac:2:truncate"));
  const std::string journal = read_file(work_ + "/p.pac.journal");
  const std::string pkg = read_file(work_ + "/p.pac");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = journal;
    text.replace(text.find(from), from.size(), to);
    text.erase(text.rfind("md5 "));  // with a digest that matches the change
    return text + "md5 " + md5_of(text) + "\n";
  };
  auto output = [&](const std::string& name) {  // slot 2's planned output
    return "output 2 " + std::to_string(work_.size() + name.size()) + "\n" + work_ + name + "\n";
  };
  const std::string damaged = "\r\n journal p.pac.journal is damaged, refusing to follow it! \r\n";
  const std::pair<std::string, std::string> cases[] = {
      {flipped(journal, journal.size() - 100), damaged},
      {journal.substr(0, journal.size() / 2), damaged},
      {journal + "x", damaged},
      {replaced(output("/Z"), output("/../Z")), damaged},
      {replaced(output("/Z"), output("/Q")), damaged},
      {replaced(output("/Z"), output("/Y")), damaged},  // Y's path twice
      {replaced(output("/Z"), output("/./Z")), damaged},
      {journal + std::string(65536, '\n'), "\r\n can not read journal p.pac.journal! \r\n"},
      {replaced("length ", "length 1"), damaged},
      {replaced("length 10225160", "length 10225159"), damaged},
      {replaced("restored -1", "restored 99999999"),
       "\r\n journal p.pac.journal does not match package p.pac, refusing to follow it! \r\n"}};
  expect("-r p.pac -n X", 255,
         "\r\n an extract of p.pac was cut short, run kestrelbind -e p.pac to finish it! \r\n",
         work_);
  for (const auto& [bytes, message] : cases) {
    write_file(work_ + "/p.pac.journal", bytes);
    expect("-e p.pac", 255, message, work_);
    EXPECT_TRUE(read_file(work_ + "/p.pac") == pkg);
    EXPECT_TRUE(read_file(work_ + "/p.pac.journal") == bytes);
  }
  write_file(work_ + "/p.pac.journal", journal);
  expect_finished({"-e", "p.pac"});
  // An output damaged while the run was down is left out, and said so.
  make_in(work_);
  run_tool(work_, {"-e", "p.pac"}, fault_env("kill:/p.pac:2:truncate+"));  // Y out, not named
  for (const auto& f : list_dir(work_))
    if (f.rfind(".Y.kb", 0) == 0)
      write_file(work_ + "/" + f, flipped(read_file(work_ + "/" + f), 9));
  expect("-e p.pac", 255,
         "\r\n resuming the extract of p.pac that was cut short \r\n" +
             line("extract", ms_[2], "successfully") + "\r\n file " + work_ +
             "/Y was damaged when the extract was cut short, it is left out! \r\n" +
             line("extract", ms_[0], "successfully") +
             "\r\n 1 members of p.pac could not be recovered! \r\n",
         work_);
}

TEST_F(Recover, FullAndReadOnlyFilesystems) {
  // 10225160 bytes of package on a 9988 KiB tmpfs: not one page to spare.
  if (!mounted(at("flash"), "size=9988k")) GTEST_SKIP() << refused;
  make_in(at("flash"));
  expect_finished({"-e", "p.pac"});
  // With room for three pieces, checkpoints shrink to fit: no write of an
  // output ever finds the flash full.
  ASSERT_EQ(std::system(("mount -o remount,size=13060k " + at("flash")).c_str()), 0);
  make_in(at("flash"));
  EXPECT_EQ(run_tool(work_, {"-e", "p.pac"}, fault_env("kill:/X:1:write-")).status, 0);
  expect_finished({});
  for (const auto& m : ms_) std::remove((work_ + "/" + m.name).c_str());
  // A write of X's that fails on a flash with room for the journal and the
  // trailer, not for a piece twice: X's pieces go back, each let go by the
  // output before the package takes it again.
  if (!fault_env("").empty()) {
    ASSERT_EQ(std::system(("mount -o remount,size=10020k " + at("flash")).c_str()), 0);
    make_in(at("flash"));
    auto r = run_tool(work_, {"-e", "p.pac"}, fault_env("write:/X:@5767168"));
    EXPECT_TRUE(ends_with(r.out, "\r\n fwrite error:0 \r\n" + holds(1))) << r.out;
    expect_finished({"-e", "p.pac"});
  }
  // X's output lands on a small filesystem: 768 KiB fails in its second
  // piece; the package is on another filesystem.
  const std::string small = at("w/systemdir");
  if (!mounted(small, "size=768k")) GTEST_SKIP() << refused;
  make_in(at("w"));
  const std::vector<std::string> args = {"-e", "p.pac", "-d", "system,systemdir"};
  auto r = run_tool(work_, args);
  EXPECT_TRUE(ends_with(r.out, "\r\n fwrite error:0 \r\n" + holds(1))) << r.out;
  EXPECT_NE(r.err.find("/systemdir/X: No space left on device\n"), std::string::npos) << r.err;
  EXPECT_EQ(list_dir(small), names{});
  // A read there blames the disk on stderr, not only the digest.
  r = run_tool(small, {"-r", "../p.pac", "-n", "X"});
  EXPECT_EQ(r.out.find("\r\n file X checksum "), 0u);
  EXPECT_EQ(r.err.find("kestrelbind: X: No space left on device"), 0u) << r.err;
  ASSERT_EQ(std::system(("mount -o remount,ro " + small).c_str()), 0);
  r = run_tool(small, {"-r", "../p.pac", "-n", "X"});
  EXPECT_EQ(r.out + r.err,
            "\r\n can not write to file:X \r\nkestrelbind: X: Read-only file system\n");
  ASSERT_EQ(std::system(("mount -o remount,rw,size=16m " + small).c_str()), 0);
  std::remove((small + "/X").c_str());
  expect_finished(args);
}

TEST_F(Recover, APowerCutIsFinishedByTheSameCommand) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  const std::string disk = at("disk");
  if (!mounted(disk, "")) GTEST_SKIP() << refused;
  const std::vector<std::string> args = {"-e", "p.pac"}, over;
  // The injector lets the log commit, then cuts: what was only in memory
  // is lost. The last case cuts the power right after a completed run.
  for (const std::string fault :
       {"cut:/p.pac:2:truncate", "cut:/p.pac:<1:truncate", "cut:/p.pac:<9500000:fsync+",
        "cut:/p.pac.journal:1:unlink", ""}) {
    SCOPED_TRACE(fault);
    make_in(disk);
    const std::string made = read_file(disk + "/p.pac");
    ASSERT_EQ(std::system(("sync -f " + disk).c_str()), 0);  // the package is on disk
    EXPECT_EQ(run_tool(work_, args, fault_env(fault)).status, fault.empty() ? 0 : 128 + SIGKILL);
    if (fault.empty()) power_off(disk);
    ASSERT_EQ(std::system(("umount " + disk + " && " + ext4_mount(disk)).c_str()), 0);
    // Just after X's first cut is synced: its first 8 pieces are out, and what the
    // package still holds is what it held.
    const std::string left = read_file(disk + "/p.pac");
    EXPECT_TRUE(fault != "cut:/p.pac:<9500000:fsync+" || left.size() == 9500000u - 8 * 524288)
        << left.size();
    EXPECT_TRUE(fault.empty() || made.compare(0, left.size(), left) == 0);
    expect_finished(fault.empty() ? over : args);
  }
  // X's directory on a filesystem of its own, whose log no later sync of
  // the package's takes along: X, said extracted, is there after a cut.
  const std::string sys = disk + "/systemdir";
  if (!mounted(sys, "") || std::system(("mount -o remount,commit=60 " + sys).c_str()) != 0)
    GTEST_SKIP() << refused;
  make_in(disk);
  ASSERT_EQ(run_tool(disk, {"-e", "p.pac", "-d", "system,systemdir"}).status, 0);
  power_off(sys);
  ASSERT_EQ(std::system(("umount " + sys + " && " + ext4_mount(sys)).c_str()), 0);
  EXPECT_TRUE(read_file(sys + "/X") == ms_[0].bytes);
}
