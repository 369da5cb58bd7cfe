#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ops/ops.h"
#include "support/helpers.h"

namespace kb {
namespace {

using test::read_file;
using test::run_tool;
using test::write_file;

class Read : public ::testing::Test {
 protected:
  void SetUp() override {
    big_ = test::random_bytes(1300000, 1);
    ASSERT_EQ(mkdir((dir_ / "src").c_str(), 0755), 0);
    write_file(dir_ / "sys.img", big_);
    write_file(dir_ / "a.cfg", "first config");
    write_file(dir_ / "b.cfg", "second config");
    auto r = run_tool(dir_.path(), {"-m", "p.pac", "-a", "system,sys.img,1", "-a", "config,a.cfg,2",
                                    "-a", "config,b.cfg,3"});
    ASSERT_EQ(r.status, 0) << r.out;
    for (auto name : {"sys.img", "a.cfg", "b.cfg"}) std::remove((dir_ / name).c_str());
    pkg_ = read_file(dir_ / "p.pac");
  }

  test::run_result read(const std::vector<std::string>& filters) {
    std::vector<std::string> args = {"-r", "p.pac"};
    args.insert(args.end(), filters.begin(), filters.end());
    return run_tool(dir_.path(), args);
  }

  test::scratch_dir dir_;
  std::string big_;
  std::string pkg_;
};

TEST_F(Read, ByNameTypeAndBoth) {
  auto r = read({"-n", "sys.img"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(read_file(dir_ / "sys.img") == big_);

  write_file(dir_ / "a.cfg", "an older file of that name");
  r = read({"-t", "config"});  // two of that type: the lower slot wins
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir_ / "a.cfg"), "first config");
  EXPECT_FALSE(test::exists(dir_ / "b.cfg"));

  r = read({"-n", "b.cfg", "-t", "config", "-d", "config,src", "-p"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir_ / "b.cfg"), "second config");  // -d plays no part
  EXPECT_TRUE(read_file(dir_ / "p.pac") == pkg_);
}

TEST_F(Read, Refusals) {
  EXPECT_EQ(read({}).out, "\r\n please entry a file name or type!\r\n");
  auto r = read({"-n", "sys.img", "-t", "modem"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n File not exsit!\r\n");
  r = read({"-n", "missing.bin"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n File not exsit!\r\n");
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"p.pac", "src"}));
}

TEST_F(Read, CorruptMemberFailsItsChecksum) {
  std::string bad = pkg_;
  bad[1300013 + 3] = static_cast<char>(bad[1300013 + 3] ^ 1);  // inside a.cfg, after b.cfg
  write_file(dir_ / "p.pac", bad);
  auto r = read({"-n", "a.cfg"});
  EXPECT_EQ(r.status, 255);
  std::string got = read_file(dir_ / "a.cfg");
  EXPECT_NE(got, "first config");
  EXPECT_EQ(r.out, "\r\n file a.cfg checksum " + test::md5_of(got) + " not right! \r\n");
}

TEST_F(Read, AFailedWriteReportsTheDigestOfTheFileAsItIs) {
  SKIP_WITHOUT_FAULT_INJECTION();
  auto r = run_tool(dir_.path(), {"-r", "p.pac", "-n", "sys.img"},
                    test::fault_env("write:/sys.img:2"));  // the middle piece is lost
  EXPECT_EQ(r.status, 255);
  std::string got = read_file(dir_ / "sys.img");
  EXPECT_EQ(got.size(), big_.size() - PAC_CHUNK_SIZE);
  EXPECT_EQ(r.out, "\r\n file sys.img checksum " + test::md5_of(got) + " not right! \r\n");
}

TEST(ReadUnsafe, NamesThatLeaveTheDirectoryOrHitThePackage) {
  test::scratch_dir dir;
  for (const std::string name : {"../evil", "/etc/passwd0", "..", "p.pac"}) {
    pac_index index;
    set_field(index.count, "1", "");
    test::set_slot(index, 0, "t", name, "1", "3", "0", test::md5_of("abc"));
    const std::string pkg = test::package_bytes("abc", index);
    write_file(dir / "p.pac", pkg);
    auto r = run_tool(dir.path(), {"-r", "p.pac", "-t", "t"});
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_TRUE(read_file(dir / "p.pac") == pkg) << name;
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"p.pac"});
  }
}

}  // namespace
}  // namespace kb
