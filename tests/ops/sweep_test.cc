// Every state-changing call of an extract in place, faulted in turn: a kill
// before it and just after it, a power cut at it, ENOSPC and EIO there, a
// stop signal just before it; without and with a key, on a flash with room
// and on one with only what the run asks for. After each, the same command
// finishes with every member byte for byte and nothing stray, or refuses,
// changing nothing, with what it needs. Each of the four is a test of its
// own, so that they run side by side.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <map>

#include "support/recover.h"

using namespace kb;
using namespace kb::test;

namespace {

constexpr std::size_t L = 524288;

class Sweep : public Recover, public ::testing::WithParamInterface<std::tuple<bool, bool>> {
 protected:
  void SetUp() override {}

  // X of several pieces, Y of exactly one, Z small.
  const std::vector<member_file> members_ = {{"system", "X", random_bytes(3 * L + 4321, 7)},
                                             {"modem", "Y", random_bytes(L, 8)},
                                             {"idu", "Z", random_bytes(1000, 9)}};
  std::string pkg_, sig_;
  std::map<std::string, int> covered_;

  // The package and, where minisign is there, its signature; a tmpfs flash
  // and an ext4 disk of this test's own. False when it can not run here.
  bool prepare(bool signed_run) {
    if (fault_env("").empty()) return skip_because(no_preload);
    make(members_);
    pkg_ = read_file(at("p.pac"));
    if (signed_run &&
        std::system(("cd " + dir_ + " && minisign -G -W -p k.pub -s k.sec && minisign -S -s " +
                     "k.sec -m p.pac -t 'model:K1' </dev/null >/dev/null 2>&1")
                        .c_str()) != 0)
      return skip_because("minisign is not installed");
    sig_ = signed_run ? read_file(at("p.pac.minisig")) : "";
    if (!mounted(at("flash"), "size=32m")) return skip_because(refused);
    if (!mounted(at("disk"), "", "24M")) std::printf("no power cuts: %s\n", refused);
    return true;
  }
  bool skip_because(const char* why) {
    why_ = why;
    return false;
  }
  bool has_disk() const { return std::count(mounts_.begin(), mounts_.end(), at("disk")) > 0; }

  void print_covered() {
    std::string line;
    for (const auto& [what, n] : covered_) line += " " + what + ": " + std::to_string(n);
    std::printf("sweep covered%s\n", line.c_str());
  }

  const char* why_ = "";

  // The flash at dir holds the package (and its signature) alone, with
  // about `leave` bytes free where that is not negative.
  void fresh(const std::string& dir, bool key, long long leave = -1) {
    for (const auto& f : list_dir(dir))
      if (f != "lost+found") std::filesystem::remove_all(dir + "/" + f);
    write_file(dir + "/p.pac", pkg_);
    if (key) write_file(dir + "/p.pac.minisig", sig_);
    const int fd = open(dir.c_str(), O_RDONLY | O_CLOEXEC);  // on disk before any power cut
    syncfs(fd), close(fd);
    if (leave >= 0) fill(dir, leave);
  }

  // Leaves about `leave` bytes free on the flash at dir with a filler file
  // (ext4 keeps a little for its own blocks).
  static void fill(const std::string& dir, long long leave) {
    struct statvfs v;
    if (statvfs(dir.c_str(), &v) != 0) return;
    long long more = static_cast<long long>(v.f_bavail * v.f_frsize) - leave;
    for (; more > 0; more -= 65536) {
      const std::string sh = "fallocate -l " + std::to_string(more) + " " + dir + "/.filler";
      if (std::system((sh + " 2>/dev/null").c_str()) == 0) return;
      std::filesystem::remove(dir + "/.filler");
    }
  }

  // The command finishes the job: the package empty, every member byte for
  // byte, nothing stray (a refusal must change nothing and say what is needed).
  void expect_done(const std::string& dir, const std::vector<std::string>& args, bool rerun,
                   const std::string& trace) {
    SCOPED_TRACE(trace);
    auto snapshot = [&] {
      std::string s;
      for (const auto& f : list_dir(dir))  // the filler by its size: it is most of the flash
        s += f + "=" +
             (f == ".filler" ? std::to_string(file_size(dir + "/" + f))
                             : md5_hex(read_file(dir + "/" + f))) +
             ";";
      return s;
    };
    // A kill after the last call finds the job done: a rerun has nothing to do.
    if (rerun && file_size(dir + "/p.pac") == 0 && !std::filesystem::exists(dir + "/p.pac.journal"))
      rerun = false;
    if (rerun) {
      const std::string before = snapshot();
      const auto r = run_tool(dir, args);
      if (r.status != 0) {
        ++covered_["refused"];
        EXPECT_EQ(snapshot(), before) << r.out;
        EXPECT_NE(r.out.find(" needs "), std::string::npos) << r.out;
        return;
      }
    }
    EXPECT_EQ(file_size(dir + "/p.pac"), 0);
    names want = {"p.pac"}, got = list_dir(dir);
    got.erase("lost+found"), got.erase(".filler"), got.erase("p.pac.minisig");
    for (const auto& m : members_) {
      want.insert(m.name);
      EXPECT_TRUE(read_file(dir + "/" + m.name) == m.bytes) << m.name;
    }
    EXPECT_EQ(got, want);
  }

  // How many state-changing calls the command makes on dir, from here.
  int count(const std::string& dir, const std::vector<std::string>& args) {
    const std::string log = at("calls");
    std::remove(log.c_str());
    run_tool(dir, args, fault_env("count:" + dir + ":0:" + log));
    const std::string calls = read_file(log);
    return static_cast<int>(std::count(calls.begin(), calls.end(), '\n'));
  }

  static std::vector<std::string> command(const std::string& key) {
    std::vector<std::string> args = {"-e", "p.pac"};
    if (!key.empty()) args.insert(args.end(), {"-k", key});
    return args;
  }

  // On a flash with no room the run is refused, changing nothing, with the
  // room it needs; returns that.
  long long room_asked(const std::string& dir, const std::string& key) {
    fresh(dir, !key.empty());
    fill(dir, 0);
    const std::string before = read_file(dir + "/p.pac");
    const auto r = run_tool(dir, command(key));
    const auto at = r.out.find(" needs ");
    EXPECT_TRUE(at != std::string::npos && read_file(dir + "/p.pac") == before) << r.out;
    ++covered_["refused, no room"];
    return at == std::string::npos ? 0 : std::stoll(r.out.substr(at + 7));
  }

  // Faults every stride-th call of the command on the flash at dir with
  // each action, leaving as much room as the run asks for (leave >= 0).
  void sweep(const std::string& dir, const std::string& key, long long leave,
             const std::vector<std::string>& actions) {
    const bool signed_run = !key.empty(), full = leave >= 0;
    const std::vector<std::string> args = command(key);
    const std::vector<std::vector<std::string>> others = {
        {"-l", "p.pac"}, {"-c", "p.pac"}, {"-r", "p.pac", "-n", "Z"}, {"-e", "p.pac", "-p"}};
    fresh(dir, signed_run, leave);
    const int n = count(dir, args);
    covered_[std::string("calls of a run") + (signed_run ? " with -k" : "") +
             (full ? ", full" : "")] = n;
    expect_done(dir, args, false, "the counting run");
    for (int i = 1; i <= n; ++i) {
      for (const auto& action : actions) {
        const std::string trace = (signed_run ? "-k " : "") +
                                  std::string(full ? "full " : "room ") + action + " at call " +
                                  std::to_string(i);
        fresh(dir, signed_run, leave);
        const auto r =
            run_tool(dir, args, fault_env("at:" + dir + ":" + std::to_string(i) + ":" + action));
        if (action == "cut" && !remounted_fresh(dir)) GTEST_SKIP() << not_fresh;
        ++covered_[action];
        // Not on a full flash those that write: their files would take its room.
        if (i % 5 == 0) run_tool(dir, others[(i / 5) % (full ? 2 : others.size())]);
        expect_done(dir, args, r.status != 0, trace);
        if (HasFailure()) return;
      }
    }
  }
};

}  // namespace

// Every call, with and without a key, on a flash with room and on one with
// no more than the run asks for.
TEST_P(Sweep, EveryCallOfAnExtractInPlace) {
  const auto [signed_run, full] = GetParam();
  if (!prepare(signed_run)) GTEST_SKIP() << why_;
  const std::string key = signed_run ? at("k.pub") : "";
  const long long leave = full ? room_asked(at("flash"), key) : -1;
  sweep(at("flash"), key, leave, {"kill", "kill+", "enospc", "eio", "term"});
  if (has_disk() && !HasFailure()) sweep(at("disk"), key, leave, {"cut"});
  print_covered();
}

// A kill at every call of the resume after a first kill: after X's first
// cut, and with Y cut and not yet under its name.
TEST_P(Sweep, EveryCallOfAResumeAfterAKill) {
  const auto [signed_run, full] = GetParam();
  if (!prepare(signed_run)) GTEST_SKIP() << why_;
  const std::string dir = at("flash"), key = signed_run ? at("k.pub") : "";
  const long long leave = full ? room_asked(dir, key) : -1;
  const std::vector<std::string> args = command(key);
  for (const std::string first : {"kill:/p.pac:2:truncate+", "kill:/p.pac:<1500000:truncate"}) {
    fresh(dir, signed_run, leave);
    run_tool(dir, args, fault_env(first));
    const int n = count(dir, args);
    for (int i = 1; i <= n; ++i) {
      fresh(dir, signed_run, leave);
      run_tool(dir, args, fault_env(first));
      run_tool(dir, args, fault_env("at:" + dir + ":" + std::to_string(i) + ":kill"));
      ++covered_["resume kill"];
      expect_done(dir, args, true,
                  first + ", then a kill at the resume's call " + std::to_string(i));
      if (HasFailure()) return;
    }
  }
  print_covered();
}

INSTANTIATE_TEST_SUITE_P(, Sweep, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "WithKey" : "NoKey") +
                                  (std::get<1>(info.param) ? "FullFlash" : "Room");
                         });
