// The command as a user runs it: exact stdout bytes and exit status.
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "support/helpers.h"

namespace kb {
namespace {

using test::run_tool;

TEST(Command, NoArgumentsPrintsTheUsage) {
  test::scratch_dir dir;
  auto r = run_tool(dir.path(), {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(USAGE_TEXT) + "\n");
}

TEST(Command, MissingValues) {
  test::scratch_dir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"-a", "\r\n please specify the file added!\r\n"},
      {"-d", "\r\n please specify the dest directory info!\r\n"},
      {"-e", "\r\n please specify the file name!\r\n"},
      {"-f", "\r\n please specify the file features!\r\n"},
      {"-l", "\r\n please specify the file name!\r\n"},
      {"-m", "\r\n please specify the dest file name!\r\n"},
      {"-t", "\r\n please specify the extract file type!\r\n"},
      {"-n", "\r\n please specify the read file name!\r\n"},
      {"-r", "\r\n please specify the file name!\r\n"},
  };
  for (auto [opt, message] : cases) {
    auto r = run_tool(dir.path(), {"-p", opt});
    EXPECT_EQ(r.status, 255) << opt;
    EXPECT_EQ(r.out, message) << opt;
  }
}

TEST(Command, ParsingRules) {
  test::scratch_dir dir;
  // Unknown arguments are skipped; the last mode wins; a value may start with
  // a dash; options after a failure are not looked at.
  auto r = run_tool(dir.path(), {"-x", "foo", "-l", "a.pac", "-e", "-b.pac"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n file -b.pac not exist! \r\n");

  r = run_tool(dir.path(), {"-d", "system,/no/such/dir", "-d", "modem,.", "-n", "x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\r\n field = /no/such/dir \r\n\r\n field = . \r\n");

  r = run_tool(dir.path(), {"-d", "system,.", "-d", "system"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n field = . \r\n\r\n -d parameter not right! \r\n");
}

TEST(Command, ValuesWiderThanTheirFieldsAreRefused) {
  test::scratch_dir dir;
  auto r = run_tool(dir.path(), {"-n", std::string(256, 'n'), "-l", "a.pac"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out,
            "\r\n read file name too long (at most 255 bytes): " + std::string(256, 'n') + " \r\n");
  EXPECT_EQ(run_tool(dir.path(), {"-n", std::string(255, 'n')}).status, 0);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-l", std::string(1024, 'p')},
           {"-m", std::string(1024, 'p')},
           {"-t", std::string(128, 't')},
           {"-f", std::string(64, 'f')},
           {"-a", "system," + std::string(2041, 'a') + ",1"},
           {"-d", std::string(32, 't') + ",."},
           {"-d", "t," + std::string(1022, 'd')},
       }) {
    r = run_tool(dir.path(), args);
    EXPECT_EQ(r.status, 255) << args[0] << " " << args[1].size();
    EXPECT_NE(r.out.find("too long"), std::string::npos) << r.out;
  }

  std::vector<std::string> many;
  for (int i = 0; i < 51; ++i) many.insert(many.end(), {"-a", "t,f,1"});
  r = run_tool(dir.path(), many);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n too many files added, at most 50! \r\n");

  many.clear();
  for (int i = 0; i < 51; ++i) many.insert(many.end(), {"-d", "t,/nowhere"});
  r = run_tool(dir.path(), many);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.substr(r.out.size() - 44), "\r\n too many dest directories, at most 50! \r\n");
}

TEST(Command, ListsAHandBuiltPackage) {
  test::scratch_dir dir;
  pac_index index;
  set_field(index.count, "2", "");
  test::set_slot(index, 0, "system", "sys.img", "1.2,beta", "3", "2", std::string(32, 'a'));
  test::set_slot(index, 1, "modem", "m.bin", "", "2", "0", "");
  set_field(index.meta_version, "1.0", "");
  set_field(index.feature, "99", "");
  test::write_file(dir / "p.pac", test::package_bytes("hello", index));

  auto r = run_tool(dir.path(), {"-l", "p.pac"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\r\ntype:meta,version:1.0,feature:99\r\n"
            "\r\ntype:system,name:sys.img,version:1.2,beta,size:3,offset:2,md5:" +
                std::string(32, 'a') +
                "\r\n"
                "\r\ntype:modem,name:m.bin,version:,size:2,offset:0,md5:\r\n");

  // An empty package: only the meta line, with empty fields.
  test::write_file(dir / "e.pac", std::string(24160, '\0'));
  r = run_tool(dir.path(), {"-l", "e.pac"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\r\ntype:meta,version:,feature:\r\n");

  r = run_tool(dir.path(), {"-l", "."});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n . is not a pac file! \r\n");
}

}  // namespace
}  // namespace kb
