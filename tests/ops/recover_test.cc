// A failure or an interrupt during an extract in place never loses a member:
// the package is left valid, holding exactly the members not yet out, and
// running the same command again finishes the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <tuple>

#include "support/helpers.h"

namespace kb {
namespace {

using test::read_file;
using test::run_tool;
using test::write_file;

// A (1300000 bytes, three pieces) at 0, B (300000) at 1300000, C (1000) at
// 1600000. Extract takes C, then B, then A: the package's freads are the
// trailer (1), C (2), B (3), then A's pieces (4, 5, 6).
const std::vector<std::pair<std::string, std::size_t>> MEMBERS = {
    {"A", 1300000}, {"B", 300000}, {"C", 1000}};
const char* const TYPES[] = {"system", "modem", "idu"};

class Recover : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(in_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    make_package(work_);
  }

  // Makes dir/p.pac of the three members; remembers their bytes and listing lines.
  void make_package(const std::string& dir) {
    std::vector<std::string> args = {"-m", dir + "/p.pac"};
    for (std::size_t i = 0; i < MEMBERS.size(); ++i) {
      const auto& [name, size] = MEMBERS[i];
      bytes_[name] = test::random_bytes(size, static_cast<unsigned>(i + 1));
      write_file(in_ + "/" + name, bytes_[name]);
      args.insert(args.end(), {"-a", std::string(TYPES[i]) + "," + in_ + "/" + name + ",1"});
    }
    ASSERT_EQ(run_tool(dir_.path(), args).status, 0);
    auto r = run_tool(dir, {"-l", "p.pac"});
    ASSERT_EQ(r.status, 0);
    lines_.clear();
    std::size_t at = r.out.find("\r\n", 2) + 2;
    meta_ = r.out.substr(0, at);
    for (std::size_t i = 0; i < MEMBERS.size(); ++i) {
      std::size_t end = r.out.find("\r\n", at + 2) + 2;
      lines_[MEMBERS[i].first] = r.out.substr(at, end - at);
      at = end;
    }
  }

  // The listing of a package holding just these members, in slot order.
  std::string listing_of(const std::vector<std::string>& left) {
    std::string out = meta_;
    for (const auto& [name, size] : MEMBERS) {
      if (std::find(left.begin(), left.end(), name) != left.end()) out += lines_[name];
    }
    return out;
  }

  // After a failed run: the package lists exactly `left`, the work directory
  // holds only the package and finished outputs; then a second run of the
  // same command finishes and every output equals its input.
  void expect_recoverable(const std::vector<std::string>& left,
                          const std::vector<std::string>& args, const std::string& corrupt = "") {
    auto r = run_tool(work_, {"-l", "p.pac"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, listing_of(left));

    r = run_tool(work_, args);
    EXPECT_EQ(r.status, 0) << r.out;
    // With nothing left the package is a bare trailer, which a run leaves be.
    EXPECT_EQ(test::file_size(work_ + "/p.pac"), left.empty() ? 24160 : 0);
    for (const auto& [name, size] : MEMBERS) {
      std::string out = output_of(name);
      if (name != corrupt) {
        EXPECT_TRUE(read_file(out) == bytes_[name]) << name;
      }
    }
  }

  // Where a member lands: mapped directories are those named "<type>dir".
  std::string output_of(const std::string& name) {
    for (std::size_t i = 0; i < MEMBERS.size(); ++i) {
      std::string mapped = work_ + "/" + TYPES[i] + "dir/" + name;
      if (MEMBERS[i].first == name && test::exists(mapped)) return mapped;
    }
    return work_ + "/" + name;
  }

  test::scratch_dir dir_;
  std::string in_ = dir_ / "in";
  std::string work_ = dir_ / "w";
  std::map<std::string, std::string> bytes_;
  std::map<std::string, std::string> lines_;
  std::string meta_;
};

std::string holds(int n) {
  return "\r\n package p.pac now holds the " + std::to_string(n) +
         " members not yet extracted \r\n";
}

struct fault_case {
  std::string fault;
  std::string message;
  std::vector<std::string> left;
};

TEST_F(Recover, StreamFaultsAtEveryStage) {
  SKIP_WITHOUT_FAULT_INJECTION();
  const std::string write_error = "\r\n fwrite error:0 \r\n";
  const std::string read_error = "\r\n crypt_fread error:0 \r\n";
  const std::string interrupted = "\r\n extract of p.pac was interrupted! \r\n";
  const std::string sigterm = std::to_string(SIGTERM);
  const fault_case cases[] = {
      {"write:/A:1", write_error, {"A"}},  // first, middle and last piece of A
      {"write:/A:2", write_error, {"A"}},
      {"write:/A:3", write_error, {"A"}},
      {"write:/B:1", write_error, {"A", "B"}},  // the second of three members
      {"read:/p.pac:4", read_error, {"A"}},
      {"read:/p.pac:5", read_error, {"A"}},
      {"read:/p.pac:6", read_error, {"A"}},
      {"read:/p.pac:3", read_error, {"A", "B"}},
      {"raise:/p.pac:4:" + sigterm, interrupted, {"A"}},
      {"raise:/p.pac:5:" + sigterm, interrupted, {"A"}},
      {"raise:/p.pac:3:" + sigterm, interrupted, {"A"}},  // B finishes first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    auto r = run_tool(work_, {"-e", "p.pac"}, test::fault_env(c.fault));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), c.message.size() + 61)),
              c.message + holds(static_cast<int>(c.left.size())));
    std::vector<std::string> present = {"p.pac"};
    for (const auto& [name, size] : MEMBERS) {
      if (std::find(c.left.begin(), c.left.end(), name) == c.left.end()) present.push_back(name);
    }
    std::sort(present.begin(), present.end());
    EXPECT_EQ(test::list_dir(work_), present);
    expect_recoverable(c.left, {"-e", "p.pac"});
    for (const auto& [name, size] : MEMBERS) std::remove((work_ + "/" + name).c_str());
    make_package(work_);
  }
}

TEST_F(Recover, InterruptDuringTheLastPieceFinishesTheRun) {
  SKIP_WITHOUT_FAULT_INJECTION();
  auto r = run_tool(work_, {"-e", "p.pac"},
                    test::fault_env("raise:/p.pac:6:" + std::to_string(SIGTERM)));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test::file_size(work_ + "/p.pac"), 0);
  EXPECT_TRUE(read_file(work_ + "/A") == bytes_["A"]);
}

TEST_F(Recover, DestinationDirectoryGoneMidRun) {
  SKIP_WITHOUT_FAULT_INJECTION();
  for (const auto& [type, gone_at, left] :
       {std::tuple<std::string, std::string, std::vector<std::string>>{"modem", "2", {"A", "B"}},
        {"system", "3", {"A"}}}) {
    SCOPED_TRACE(type);
    const std::string mapped = work_ + "/" + type + "dir";
    ASSERT_EQ(mkdir(mapped.c_str(), 0755), 0);
    const std::vector<std::string> args = {"-e", "p.pac", "-d", type + "," + type + "dir"};
    auto r = run_tool(work_, args, test::fault_env("rmdir:/p.pac:" + gone_at + ":" + mapped));
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("\r\ndest directory " + mapped + " not exit! \r\n" +
                         holds(static_cast<int>(left.size()))),
              std::string::npos)
        << r.out;
    ASSERT_EQ(mkdir(mapped.c_str(), 0755), 0);
    expect_recoverable(left, args);
    std::filesystem::remove_all(mapped);
    for (const auto& [name, size] : MEMBERS) std::remove((work_ + "/" + name).c_str());
    make_package(work_);
  }
}

TEST_F(Recover, ChecksumFailureLeavesTheOutputAndDropsTheMember) {
  // A byte of A's last stored piece (its first piece out), of its first
  // stored piece (its last out), and of B.
  for (const auto& [at, name, left] :
       {std::tuple<long, std::string, std::vector<std::string>>{1000000, "A", {}},
        {100, "A", {}},
        {1300100, "B", {"A"}}}) {
    SCOPED_TRACE(at);
    std::string pkg = read_file(work_ + "/p.pac");
    pkg[at] = static_cast<char>(pkg[at] ^ 1);
    write_file(work_ + "/p.pac", pkg);
    auto r = run_tool(work_, {"-e", "p.pac"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find(" not right! \r\n" + holds(static_cast<int>(left.size()))),
              std::string::npos)
        << r.out;
    EXPECT_EQ(test::file_size(work_ + "/" + name), static_cast<long long>(bytes_[name].size()));
    expect_recoverable(left, {"-e", "p.pac"}, name);
    for (const auto& [n, size] : MEMBERS) std::remove((work_ + "/" + n).c_str());
    make_package(work_);
  }
}

// A tmpfs of the given options mounted for one test, or a reason to skip.
class tmpfs_mount {
 public:
  tmpfs_mount(const std::string& at, const std::string& options) : at_(at) {
    mkdir(at.c_str(), 0755);
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      error_ = std::strerror(errno);
    }
  }
  ~tmpfs_mount() {
    if (error_.empty()) umount2(at_.c_str(), MNT_DETACH);
  }
  bool remount(const std::string& options) {
    return mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
  }
  const std::string& error() const { return error_; }

 private:
  std::string at_;
  std::string error_;
};

#define MOUNT_OR_SKIP(m) \
  if (!(m).error().empty()) GTEST_SKIP() << "cannot mount a tmpfs here: " << (m).error()

TEST_F(Recover, NearlyFullFlashExtractsCompletely) {
  // 1624160 bytes of package on a 1588 KiB filesystem: not one page to spare.
  tmpfs_mount flash(dir_ / "flash", "size=1588k");
  MOUNT_OR_SKIP(flash);
  make_package(dir_ / "flash");
  auto r = run_tool(dir_ / "flash", {"-e", "p.pac"});
  EXPECT_EQ(r.status, 0) << r.out;
  for (const auto& [name, size] : MEMBERS) {
    EXPECT_TRUE(read_file(dir_ / ("flash/" + name)) == bytes_[name]) << name;
  }
}

TEST_F(Recover, OutputFilesystemFillsMidMember) {
  // A's output lands on a small filesystem: 768 KiB fails in its second
  // piece, part written; the package is on another filesystem.
  tmpfs_mount out(work_ + "/systemdir", "size=768k");
  MOUNT_OR_SKIP(out);
  const std::vector<std::string> args = {"-e", "p.pac", "-d", "system,systemdir"};
  auto r = run_tool(work_, args);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("\r\n fwrite error:0 \r\n" + holds(1)), std::string::npos) << r.out;
  EXPECT_EQ(test::list_dir(work_ + "/systemdir"), std::vector<std::string>{});
  ASSERT_TRUE(out.remount("size=4m"));
  expect_recoverable({"A"}, args);
}

TEST_F(Recover, InodesRunOutOnTheFlash) {
  // Room for the root, the package and two outputs: A's output cannot be made.
  tmpfs_mount flash(dir_ / "flash", "size=8m,nr_inodes=4");
  MOUNT_OR_SKIP(flash);
  work_ = dir_ / "flash";
  make_package(work_);
  auto r = run_tool(work_, {"-e", "p.pac"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.substr(r.out.find("\r\n can not write")),
            "\r\n can not write to file:A \r\n" + holds(1));
  ASSERT_TRUE(flash.remount("nr_inodes=16"));
  expect_recoverable({"A"}, {"-e", "p.pac"});
}

}  // namespace
}  // namespace kb
