// Extracts in place on real filesystems: full, read-only, and cut off by a
// power cut.
#include <sys/mount.h>

#include "support/recover.h"

using namespace kb;
using namespace kb::test;

// 10225160 bytes of package on a 9988 KiB tmpfs: not one page to spare.
// Every piece is written before the package lets it go, so the run asks
// for a piece's room (its journal's, a page an output) before it starts.
TEST_F(Recover, AFullFlashIsRefusedUntilItHasAPiecesRoom) {
  if (!mounted(at("flash"), "size=9988k")) GTEST_SKIP() << refused;
  make_in(at("flash"));
  const std::string made = read_file(work_ + "/p.pac");
  const std::string needs =
      "\r\n package p.pac needs 610304 bytes free beside it to be extracted in place, nothing "
      "is changed! \r\n";
  expect("-e p.pac --plan", 255, somewhere("safety:too_little \r\n" + needs), work_);
  expect("-e p.pac", 255, needs, work_);
  EXPECT_TRUE(read_file(work_ + "/p.pac") == made);
  EXPECT_EQ(list_dir(work_), names{"p.pac"});
  ASSERT_EQ(std::system(("mount -o remount,size=10584k " + at("flash")).c_str()), 0);
  expect_finished({"-e", "p.pac"});
}

// With room for three pieces, checkpoints shrink to fit: no write of an
// output ever finds the flash full.
TEST_F(Recover, CheckpointsShrinkToTheRoomThePlanCounted) {
  if (!mounted(at("flash"), "size=13060k")) GTEST_SKIP() << refused;
  make_in(at("flash"));
  auto plan = run_tool(work_, {"-e", "p.pac", "--plan"});
  EXPECT_NE(plan.out.find(",safety:full \r\n"), std::string::npos) << plan.out;
  long long peak = 0, free = 0;  // what the plan said of the flash
  std::sscanf(plan.out.c_str() + plan.out.find("needs:"), "needs:%lld,free:%lld", &peak, &free);
  const std::string samples = at("free"), plan_text = plan.out;
  plan = run_tool(work_, {"-e", "p.pac"}, fault_env("free:" + work_ + ":0:" + samples));
  EXPECT_EQ(plan.status, 0);
  // The run's peak, sampled after every call that changes the flash, is
  // never more than the plan said.
  std::istringstream seen(read_file(samples));
  long long least = free, n = 0;
  for (long long bytes; seen >> bytes; ++n) least = std::min(least, bytes);
  if (!fault_env("").empty()) {
    EXPECT_GT(n, 10);
  }
  EXPECT_LE(free - least, peak) << n << " samples; the plan:" << plan_text;
  EXPECT_EQ(plan.err.find("cut before they are written"), std::string::npos) << plan.err;
  expect_finished({});
}

// A write of X's that fails, and the flash filled up meanwhile: the
// put-back stops where the package can take no more, as often as the same
// command finds no room, which then finishes forward.
TEST_F(Recover, APutBackOnAFlashFilledMeanwhileIsFinishedForward) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  if (!mounted(at("flash"), "size=10584k")) GTEST_SKIP() << refused;
  make_in(at("flash"));
  auto r = run_tool(work_, {"-e", "p.pac"},
                    fault_env("write:/X:@5767168;run:/X:1:fallocate -l "
                              "$(($(stat -f -c '%f*%S' .))) .filler"));
  EXPECT_TRUE(ends_with(r.out,
                        "\r\n fwrite error:0 \r\n\r\n can not restore package p.pac: No "
                        "space left on device! \r\n\r\n the extract of p.pac is left as "
                        "a kill would leave it, run the same command again to finish "
                        "it! \r\n"))
      << r.out;
  expect("-e p.pac", 255, somewhere("left as a kill would leave it"), work_);  // still no room
  std::filesystem::remove(work_ + "/.filler");
  expect_finished({"-e", "p.pac"});
}

// X's output lands on a small filesystem: 768 KiB fails in its second
// piece; the package is on another filesystem.
TEST_F(Recover, AnOutputOnAFilesystemTooSmallFailsWithNothingLost) {
  const std::string small = at("w/systemdir");
  if (!mounted(small, "size=768k")) GTEST_SKIP() << refused;
  make_in(at("w"));
  const std::vector<std::string> args = {"-e", "p.pac", "-d", "system,systemdir"};
  auto r = run_tool(work_, {"-e", "p.pac", "-d", "system,systemdir", "--plan"});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find(",safety:too_little \r\n\r\n the extract needs "), std::string::npos)
      << r.out;
  r = run_tool(work_, args);
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
            "\r\n can not write to file:X \r\nkestrelbind: X: Read-only file system\n"
            "kestrelbind: can not write to file:X\n");
  // An older X installed there, with no room for both: it goes first.
  ASSERT_EQ(std::system(("mount -o remount,rw,size=12m " + small).c_str()), 0);
  write_file(small + "/X", std::string(9500000, 'o'));
  // Not while anyone can still write the package (a descriptor kept from
  // before it became this user's): then it stays until the new one is good.
  // Nor when X's bytes in the package are not X's.
  const int writer = open((work_ + "/p.pac").c_str(), O_WRONLY | O_CLOEXEC);
  EXPECT_EQ(run_tool(work_, args).status, 255);
  close(writer);
  const std::string whole = read_file(work_ + "/p.pac");
  write_file(work_ + "/p.pac", flipped(whole, 100));
  EXPECT_EQ(run_tool(work_, args).status, 255);
  EXPECT_EQ(file_size(small + "/X"), 9500000);
  write_file(work_ + "/p.pac", whole);
  expect_finished(args);
}

// Power cuts at every call are the sweep's; here one right after a
// completed run.
TEST_F(Recover, APowerCutAfterARunFindsItFinished) {
  const std::string disk = at("disk");
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  if (!mounted(disk, "")) GTEST_SKIP() << refused;
  make_in(disk);
  ASSERT_EQ(std::system(("sync -f " + disk).c_str()), 0);  // the package is on disk
  EXPECT_EQ(run_tool(work_, {"-e", "p.pac"}).status, 0);
  power_off(disk);
  if (!remounted_fresh(disk)) GTEST_SKIP() << not_fresh;
  expect_finished({});
}

// X's directory on a filesystem of its own, whose log no later sync of the
// package's takes along: X, said extracted, is there after a cut.
TEST_F(Recover, AnOutputSaidExtractedSurvivesAPowerCut) {
  const std::string disk = at("disk"), sys = disk + "/systemdir";
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  if (!mounted(disk, "") || !mounted(sys, "") ||
      std::system(("mount -o remount,commit=60 " + sys).c_str()) != 0)
    GTEST_SKIP() << refused;
  make_in(disk);
  ASSERT_EQ(run_tool(disk, {"-e", "p.pac", "-d", "system,systemdir"}).status, 0);
  power_off(sys);
  if (!remounted_fresh(sys)) GTEST_SKIP() << not_fresh;
  EXPECT_TRUE(read_file(sys + "/X") == ms_[0].bytes);
}
