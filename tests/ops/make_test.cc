#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/helpers.h"

namespace kb {
namespace {

using test::read_file;
using test::run_tool;
using test::write_file;

// A member's bytes as the package stores them: cut into 524288-byte pieces
// from its start, the pieces in reverse order.
std::string stored_order(const std::string& plain) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < plain.size(); at += PAC_CHUNK_SIZE) {
    pieces.push_back(plain.substr(at, PAC_CHUNK_SIZE));
  }
  std::string out;
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) out += *it;
  return out;
}

pac_index load(const std::string& path) {
  pac_index index;
  pac_index_load(path, index);
  return index;
}

TEST(Make, TheThreeMemberExample) {
  test::scratch_dir dir;
  std::string m1 = test::random_bytes(100, 1), m2 = test::random_bytes(600000, 2),
              m3 = test::random_bytes(100, 3);
  write_file(dir / "M1", m1);
  write_file(dir / "M2", m2);
  write_file(dir / "M3", m3);
  auto r = run_tool(dir.path(), {"-m", "fw.pac", "-f", "7", "-a", "system,M1,1", "-a", "modem,M2,2",
                                 "-a", "idu,M3,3"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "\r\n write file type:modem,name:M2,version:2,size:600000,offset:0,md5:" +
                       test::md5_of(m2) +
                       " \r\n"
                       "\r\n write file type:system,name:M1,version:1,size:100,offset:600000,md5:" +
                       test::md5_of(m1) +
                       " \r\n"
                       "\r\n write file type:idu,name:M3,version:3,size:100,offset:600100,md5:" +
                       test::md5_of(m3) + " \r\n");

  std::string pkg = read_file(dir / "fw.pac");
  ASSERT_EQ(pkg.size(), 624360u);
  // M2's last 75712 bytes first, then its first 524288; then M1 and M3.
  EXPECT_TRUE(pkg.substr(0, 75712) == test::scramble(m2.substr(524288)));
  EXPECT_TRUE(pkg.substr(75712, 524288) == test::scramble(m2.substr(0, 524288)));
  EXPECT_TRUE(pkg.substr(600000, 100) == test::scramble(m1));
  EXPECT_TRUE(pkg.substr(600100, 100) == test::scramble(m3));

  pac_index index = load(dir / "fw.pac");
  EXPECT_EQ(field(index.count), "3");
  EXPECT_EQ(field(index.feature), "7");
  EXPECT_EQ(field(index.members[0].offset), "600000");
  EXPECT_EQ(field(index.members[1].offset), "0");
  EXPECT_EQ(field(index.members[2].offset), "600100");
}

TEST(Make, PieceBoundariesTiesAndNames) {
  test::scratch_dir dir;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  const std::vector<std::pair<std::string, std::size_t>> members = {
      {"zero", 0},          {"one", 1},       {"exact", 524288}, {"over", 524289},
      {"sub/big", 1300000}, {"twin_a", 1000}, {"twin_b", 1000},
  };
  std::vector<std::string> args = {"-m", "p.pac"};
  std::vector<std::string> contents;
  for (std::size_t i = 0; i < members.size(); ++i) {
    contents.push_back(test::random_bytes(members[i].second, static_cast<unsigned>(i + 10)));
    write_file(dir / members[i].first, contents.back());
    args.insert(args.end(), {"-a", "t" + std::to_string(i) + "," + members[i].first + ",v,1,2"});
  }
  auto r = run_tool(dir.path(), args);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(",name:sub/big,"), std::string::npos);  // the path as given

  // Largest first, equal sizes in slot order, the empty member last.
  const std::vector<std::size_t> order = {4, 3, 2, 5, 6, 1, 0};
  std::string data;
  for (std::size_t i : order) data += stored_order(contents[i]);
  std::string pkg = read_file(dir / "p.pac");
  ASSERT_EQ(pkg.size(), data.size() + PAC_INDEX_SIZE);
  EXPECT_TRUE(pkg.substr(0, data.size()) == test::scramble(data));

  pac_index index = load(dir / "p.pac");
  EXPECT_EQ(field(index.members[4].name), "big");  // stored by base name
  EXPECT_EQ(field(index.members[0].version), "v,1,2");
  EXPECT_EQ(field(index.members[0].offset), std::to_string(data.size()));
  EXPECT_EQ(field(index.members[0].md5), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(field(index.feature), "");
  EXPECT_EQ(field(index.meta_version), "1.0");
  EXPECT_EQ(field(index.header_size), "24160");

  r = run_tool(dir.path(), {"-l", "p.pac"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\r\ntype:t4,name:big,version:v,1,2,size:1300000,offset:0,md5:" +
                       test::md5_of(contents[4]) + "\r\n"),
            std::string::npos)
      << r.out;
}

TEST(Make, NoMembersGivesABareTrailer) {
  test::scratch_dir dir;
  auto r = run_tool(dir.path(), {"-m", "e.pac"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  std::string pkg = read_file(dir / "e.pac");
  ASSERT_EQ(pkg.size(), PAC_INDEX_SIZE);
  EXPECT_EQ(pkg.substr(0, 32), std::string(32, '\0'));  // empty count
  EXPECT_EQ(run_tool(dir.path(), {"-l", "e.pac"}).out, "\r\ntype:meta,version:1.0,feature:\r\n");
}

TEST(Make, FailuresLeaveTheDestinationAsItWas) {
  test::scratch_dir dir;
  write_file(dir / "a.bin", "member");
  write_file(dir / "fw.pac", "the old package");
  ASSERT_EQ(mkdir((dir / "adir").c_str(), 0755), 0);
  struct failing {
    std::string spec;
    std::string message;
  };
  const failing cases[] = {
      {"system,a.bin", "\r\n fail to add file! \r\n"},
      {"system", "\r\n fail to add file! \r\n"},
      {"system,missing.bin,1", "\r\n file missing.bin not exist! \r\n"},
      {std::string(32, 't') + ",a.bin,1",
       "\r\n file type too long (at most 31 bytes): " + std::string(32, 't') + " \r\n"},
      {"t,a.bin," + std::string(64, 'v'),
       "\r\n file version too long (at most 63 bytes): " + std::string(64, 'v') + " \r\n"},
      // Phase 2: a directory passes the size check but cannot be read.
      {"t,adir,1", "\r\n can not read file adir! \r\n"},
  };
  for (const auto& c : cases) {
    auto r = run_tool(dir.path(), {"-m", "fw.pac", "-a", "ok,a.bin,1", "-a", c.spec});
    EXPECT_EQ(r.status, 255) << c.spec;
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), c.message.size())), c.message);
    EXPECT_EQ(read_file(dir / "fw.pac"), "the old package") << c.spec;
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"a.bin", "adir", "fw.pac"}));
  }

  auto r = run_tool(dir.path(), {"-m", "no/such/dir/x.pac", "-a", "t,a.bin,1"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n can not write file to :no/such/dir/x.pac! \r\n");
}

TEST(Make, MembersMustFitThirtyTwoBits) {
  test::scratch_dir dir;
  // Sparse files: the limits are found from the sizes, before any digest.
  for (auto [name, size] : {std::pair{"huge", 1LL << 31}, std::pair{"half", 1100000000LL}}) {
    write_file(dir / name, "");
    ASSERT_EQ(truncate((dir / name).c_str(), size), 0);
  }
  auto r = run_tool(dir.path(), {"-m", "p.pac", "-a", "t,huge,1"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n file huge is too large: a member must be less than 2 GiB! \r\n");

  // Together past what the package's 32-bit length can say, trailer included.
  r = run_tool(dir.path(), {"-m", "p.pac", "-a", "t,half,1", "-a", "t,half,2"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n file half does not fit: a package holds less than 2 GiB of members! \r\n");
  EXPECT_FALSE(test::exists(dir / "p.pac"));
}

TEST(Make, AnInterruptedMakeLeavesNoTrace) {
  SKIP_WITHOUT_FAULT_INJECTION();
  test::scratch_dir dir;
  write_file(dir / "big", test::random_bytes(700000, 1));
  write_file(dir / "small", "small member");
  write_file(dir / "p.pac", "the old package");
  // small's reads: its digest, then its copy.
  auto r = run_tool(dir.path(), {"-m", "p.pac", "-a", "t,big,1", "-a", "t,small,1"},
                    test::fault_env("raise:/small:2:" + std::to_string(SIGTERM)));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.substr(r.out.rfind("\r\n make")), "\r\n make of p.pac was interrupted! \r\n");
  EXPECT_EQ(read_file(dir / "p.pac"), "the old package");
  EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"big", "p.pac", "small"}));
}

TEST(Make, RebuildsAPackageFromItself) {
  test::scratch_dir dir;
  write_file(dir / "a.bin", test::random_bytes(5000, 4));
  ASSERT_EQ(run_tool(dir.path(), {"-m", "fw.pac", "-a", "t,a.bin,1"}).status, 0);
  const std::string old = read_file(dir / "fw.pac");
  ASSERT_EQ(chmod((dir / "fw.pac").c_str(), 0640), 0);

  auto r = run_tool(dir.path(), {"-m", "fw.pac", "-a", "t,a.bin,1", "-a", "old,fw.pac,0"});
  ASSERT_EQ(r.status, 0) << r.out;
  pac_index index = load(dir / "fw.pac");
  EXPECT_EQ(field(index.members[1].size), std::to_string(old.size()));
  EXPECT_EQ(field(index.members[1].md5), test::md5_of(old));
  struct stat st;
  ASSERT_EQ(stat((dir / "fw.pac").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced package keeps its mode
  EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"a.bin", "fw.pac"}));
}

}  // namespace
}  // namespace kb
