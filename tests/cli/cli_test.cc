// The command as a user runs it: exact stdout bytes and exit status, and
// hostile packages that every operation must survive.
#include <sys/stat.h>

#include <functional>

#include "cli/cli.h"
#include "support/helpers.h"

namespace kb {
namespace {

using test::set_slot;
using Command = test::pac_test;

struct command_case {
  std::vector<std::string> args;
  int status;
  std::string out;  // the exact stdout, or a text it ends with when it starts with "..."
};

TEST_F(Command, ArgumentsAndTheirMessages) {
  const std::string too_long = "...too long (at most ";
  const std::string file_name = "\r\n please specify the file name!\r\n";
  std::vector<command_case> cases = {
      {{}, 0, std::string(USAGE_TEXT) + "\n"},
      {{"-a"}, 255, "\r\n please specify the file added!\r\n"},
      {{"-d"}, 255, "\r\n please specify the dest directory info!\r\n"},
      {{"-e"}, 255, file_name},
      {{"-f"}, 255, "\r\n please specify the file features!\r\n"},
      {{"-l"}, 255, file_name},
      {{"-m"}, 255, "\r\n please specify the dest file name!\r\n"},
      {{"-p", "-t"}, 255, "\r\n please specify the extract file type!\r\n"},
      {{"-n"}, 255, "\r\n please specify the read file name!\r\n"},
      {{"-r"}, 255, file_name},
      // Unknown arguments are skipped, the last mode wins, a value may start
      // with a dash, nothing after a failure is looked at.
      {{"-x", "foo", "-l", "a.pac", "-e", "-b.pac"}, 255, "\r\n file -b.pac not exist! \r\n"},
      {{"-m", "e.pac", "-l", "e.pac", "-x"}, 255, "\r\n file e.pac not exist! \r\n"},
      {{"-d", "system,/no/such/dir", "-d", "modem,.", "-n", "x"},
       0,
       "\r\n field = /no/such/dir \r\n\r\n field = . \r\n"},
      {{"-d", "system,.", "-d", "system"},
       255,
       "\r\n field = . \r\n\r\n -d parameter not right! \r\n"},
      {{"-n", std::string(256, 'n')},
       255,
       "\r\n read file name too long (at most 255 bytes): " + std::string(256, 'n') + " \r\n"},
      {{"-n", std::string(255, 'n')}, 0, ""},
      {{"-d", std::string(31, 't') + ",/"}, 0, "\r\n field = / \r\n"},
      {{"-d", std::string(32, 't') + ",/"}, 255, too_long},
      {{"-d", "t," + std::string(1022, 'd')}, 255, too_long},
      {{"-l", std::string(1024, 'p')}, 255, too_long},
      {{"-m", std::string(1024, 'p')}, 255, too_long},
      {{"-t", std::string(128, 't')}, 255, too_long},
      {{"-f", std::string(64, 'f')}, 255, too_long},
      {{"-a", "system," + std::string(2041, 'a') + ",1"}, 255, too_long},
      {{"-l", "e.pac", "--help"}, 0, std::string(USAGE_TEXT) + "\n"},
      {{"-h", "-l"}, 0, std::string(USAGE_TEXT) + "\n"},
      {{"--version"}, 0, "kestrelbind " KESTRELBIND_VERSION "\n"},
      {{"-x", "-V"}, 0, "kestrelbind " KESTRELBIND_VERSION "\n"},
      {{"-k"}, 255, "\r\n please specify the key file!\r\n"},
  };
  std::vector<std::string> many_a, many_d;
  for (int i = 0; i < 51; ++i) many_a.insert(many_a.end(), {"-a", "t,f,1"});
  for (int i = 0; i < 51; ++i) many_d.insert(many_d.end(), {"-d", "t,/nowhere"});
  cases.push_back({many_a, 255, "\r\n too many files added, at most 50! \r\n"});
  cases.push_back({many_d, 255, "...\r\n too many dest directories, at most 50! \r\n"});
  for (const auto& c : cases) {
    auto r = run(c.args);
    const std::string& first = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(r.status, c.status) << first;
    if (c.out.rfind("...", 0) == 0) {
      EXPECT_NE(r.out.find(c.out.substr(3)), std::string::npos) << first << r.out;
    } else {
      EXPECT_EQ(r.out, c.out) << first;
    }
  }
}

TEST_F(Command, ListsEveryFieldAndFailsOnAFullStdout) {
  pac_index index;
  set_field(index.count, "50", "");
  for (int i = 0; i < 50; ++i) {
    set_slot(index, i, "t", std::string(200, 'a' + i % 26), "1", std::to_string(i));
  }
  set_slot(index, 0, "system", "sys.img", "1", "0", std::string(32, 'a'));
  set_field(index.members[0].version, "1.2,beta", "");
  set_field(index.meta_version, "1.0", "");
  set_field(index.feature, "99", "");
  test::write_file(at("p.pac"), test::package_bytes(std::string(50, 'x'), index));
  auto r = run({"-l", "p.pac"});
  EXPECT_EQ(r.status, 0);
  const std::string head =
      "\r\ntype:meta,version:1.0,feature:99\r\n"
      "\r\ntype:system,name:sys.img,version:1.2,beta,size:1,offset:0,md5:" +
      std::string(32, 'a') + "\r\n\r\ntype:t,name:" + std::string(200, 'b') + ",";
  const std::string tail = ",offset:49,md5:\r\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(r.err, "");  // no progress: stderr is not a terminal
  // Unknown arguments are still skipped, each named on stderr.
  auto unknown = run({"-E", "p.pac", "-l", "p.pac", "-x"});
  EXPECT_EQ(unknown.out, r.out);
  EXPECT_EQ(unknown.err,
            "kestrelbind: ignoring unknown argument '-E'\nkestrelbind: ignoring unknown argument "
            "'p.pac'\nkestrelbind: ignoring unknown argument '-x'\n");
  // The listing is longer than the stream's buffer: a full stdout is a failure.
  EXPECT_EQ(test::run_tool(dir_, {"-l", "p.pac"}, {}, "/dev/full").status, 255);
  EXPECT_EQ(run({"-l", "."}).out, "\r\n . is not a pac file! \r\n");
}

struct hostile {
  const char* what;
  std::function<void(pac_index&)> fill;
  std::string list_message;  // the exact -l output of a refused package
};

// A well-formed slot of the 300-byte data region "x...x".
void good(pac_index& x, int i, const std::string& name, int size, int offset) {
  set_slot(x, i, "t", name, std::to_string(size), std::to_string(offset),
           test::md5_of(std::string(static_cast<std::size_t>(size), 'x')));
}

void two(pac_index& x) {
  set_field(x.count, "2", "");
  good(x, 0, "a", 100, 0);
  good(x, 1, "b", 200, 100);
}

// Every field of the trailer is outside input: each package is listed, read
// and extracted (preserved and in place); every run must end in 0 or 255
// (a crash or a sanitizer report gives another) and nothing may appear
// outside the working directory.
TEST_F(Command, HostilePackagesEndCleanly) {
  const std::string escape = at("escaped");
  const std::string not_right = "\r\n file is not right! \r\n";
  const std::string count = std::string(31, '9');
  const hostile corpus[] = {
      {"count 0", [](pac_index& x) { two(x), set_field(x.count, "0", ""); }, ""},
      {"count -1", [](pac_index& x) { two(x), set_field(x.count, "-1", ""); }, ""},
      {"count 51", [](pac_index& x) { two(x), set_field(x.count, "51", ""); },
       "\r\n file count 51 is more than 50! \r\n"},
      {"count huge", [&](pac_index& x) { two(x), set_field(x.count, count, ""); },
       "\r\n file count " + count + " is more than 50! \r\n"},
      {"names that leave the directory",
       [&](pac_index& x) {
         two(x);
         set_field(x.members[0].name, "../evil", "");
         set_field(x.members[1].name, escape, "");
       },
       ""},
      {"name is the package",
       [](pac_index& x) { two(x), set_field(x.members[1].name, "p.pac", ""); }, ""},
      {"negative size passes the sum",
       [](pac_index& x) {
         set_field(x.count, "3", "");
         good(x, 0, "a", 300, 0);
         set_slot(x, 1, "t", "neg", "-100", "0");
         good(x, 2, "c", 100, 200);
       },
       ""},
      {"negative offset",
       [](pac_index& x) { two(x), set_field(x.members[0].offset, "-2147483648", ""); }, ""},
      {"size INT_MIN",
       [](pac_index& x) { two(x), set_field(x.members[1].size, "-2147483648", ""); },
       "\r\n file size is not right! \r\n"},
      {"size INT_MAX", [](pac_index& x) { two(x), set_field(x.members[1].size, "2147483647", ""); },
       not_right},
      {"offset past 32 bits",
       [](pac_index& x) { two(x), set_field(x.members[1].offset, "4294967396", ""); }, not_right},
      {"blanks, signs and garbage",
       [](pac_index& x) {
         two(x);
         set_field(x.members[1].size, " \t+200junk", "");
         set_field(x.members[1].offset, "  100 7", "");
       },
       ""},
      {"fields without a terminator",
       [](pac_index& x) {
         two(x);
         x.members[1].type.fill('T');
         x.members[1].md5.fill('M');
         x.members[1].name.fill('N');
         x.feature.fill('F');
       },
       ""},
      {"member over the trailer", [](pac_index& x) { two(x), good(x, 1, "b", 200, 101); },
       not_right},
  };
  const std::string work = at("w");
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((work + "/out").c_str(), 0755), 0);
  for (const hostile& h : corpus) {
    SCOPED_TRACE(h.what);
    pac_index index;
    h.fill(index);
    const std::string bytes = test::package_bytes(std::string(300, 'x'), index);
    for (const auto& args : std::vector<std::vector<std::string>>{{"-l", "p.pac"},
                                                                  {"-r", "p.pac", "-t", "t"},
                                                                  {"-r", "p.pac", "-n", "b"},
                                                                  {"-e", "p.pac", "-p"},
                                                                  {"-e", "p.pac", "-d", "t,out"},
                                                                  {"-e", "p.pac"}}) {
      test::write_file(work + "/p.pac", bytes);
      auto r = test::run_tool(work, args);
      const std::string& m = h.list_message;
      if (m.empty()) {
        EXPECT_TRUE(r.status == 0 || r.status == 255) << args[0] << " " << r.status << r.out;
      } else {  // refused at load, after any -d field line
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), m.size())), m) << args[0];
      }
    }
    EXPECT_EQ(test::list_dir(dir_), (std::vector<std::string>{"in", "w"}));
  }
}

TEST_F(Command, OverlapsAreRefusedInPlaceButGapsAreNot) {
  pac_index index;
  set_field(index.count, "2", "");
  good(index, 0, "a", 200, 0);
  good(index, 1, "b", 100, 100);
  const std::string overlap = test::package_bytes(std::string(300, 'x'), index);
  test::write_file(at("p.pac"), overlap);
  auto r = run({"-e", "p.pac"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n members of p.pac overlap, it can not be extracted in place! \r\n");
  EXPECT_EQ(test::read_file(at("p.pac")), overlap);
  EXPECT_EQ(test::list_dir(dir_), (std::vector<std::string>{"in", "p.pac"}));
  EXPECT_EQ(run({"-e", "p.pac", "-p"}).status, 0);  // reading both is harmless
  EXPECT_EQ(test::read_file(at("b")), std::string(100, 'x'));

  good(index, 0, "a", 100, 0);
  good(index, 1, "b", 100, 200);  // a gap of 100 bytes between them,
  set_field(index.count, "3", "");
  good(index, 2, "ghost", 100, -1);  // which a member never visited makes up
  test::write_file(at("p.pac"), test::package_bytes(std::string(300, 'x'), index));
  r = run({"-e", "p.pac"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test::read_file(at("a")), std::string(100, 'x'));
  EXPECT_EQ(test::file_size(at("p.pac")), 0);
}

}  // namespace
}  // namespace kb
