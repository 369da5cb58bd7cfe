// The command as a user runs it: exact stdout bytes and exit status, and
// hostile packages that every operation must survive.
#include <sys/stat.h>

#include <cctype>

#include "cli/cli.h"
#include "support/helpers.h"

namespace kb {
namespace {

using test::set_slot;
using Command = test::pac_test;

TEST_F(Command, ArgumentsAndTheirMessages) {
  const std::string too_long = "...too long (at most ", file_name =
                                                            "\r\n please specify the file "
                                                            "name!\r\n";
  const std::string usage = std::string(USAGE_TEXT) + "\n", version = VERSION_TEXT;
  std::vector<std::string> many_a, many_d;
  for (int i = 0; i < 51; ++i) many_a.insert(many_a.end(), {"-a", "t,f,1"});
  for (int i = 0; i < 51; ++i) many_d.insert(many_d.end(), {"-d", "t,/nowhere"});
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{}, 0, usage},
      {{"-l", "e.pac", "--help"}, 0, usage},
      {{"-h", "-l"}, 0, usage},
      {{"--version"}, 0, "kestrelbind " KESTRELBIND_VERSION "\n"},
      {{"-x", "-V"}, 0, version},
      {{"-a"}, 255, "\r\n please specify the file added!\r\n"},
      {{"-d"}, 255, "\r\n please specify the dest directory info!\r\n"},
      {{"-e"}, 255, file_name},
      {{"-f"}, 255, "\r\n please specify the file features!\r\n"},
      {{"-l"}, 255, file_name},
      {{"-m"}, 255, "\r\n please specify the dest file name!\r\n"},
      {{"-p", "-t"}, 255, "\r\n please specify the extract file type!\r\n"},
      {{"-n"}, 255, "\r\n please specify the read file name!\r\n"},
      {{"-r"}, 255, file_name},
      {{"-c"}, 255, file_name},
      {{"-k"}, 255, "\r\n please specify the key file!\r\n"},
      // Unknown arguments are skipped, the last mode wins, a value may start
      // with a dash, nothing after a failure is looked at.
      {{"-x", "foo", "-l", "a.pac", "-e", "-b.pac"}, 255, "\r\n file -b.pac not exist! \r\n"},
      {{"-m", "e.pac", "-c", "e.pac", "-x"}, 255, "\r\n file e.pac not exist! \r\n"},
      {{"-d", "s,/no/such/dir", "-d", "m,.", "-n", "x"},
       0,
       "\r\n field = /no/such/dir \r\n"
       "\r\n field = . \r\n"},
      {{"-d", "s,.", "-d", "s"}, 255, "\r\n field = . \r\n\r\n -d parameter not right! \r\n"},
      {{"-n", std::string(256, 'n')},
       255,
       "\r\n read file name too long (at most 255 bytes): " + std::string(256, 'n') + " \r\n"},
      {{"-n", std::string(255, 'n')}, 0, ""},
      {{"-d", std::string(31, 't') + ",/"}, 0, "\r\n field = / \r\n"},
      {{"-d", std::string(32, 't') + ",/"}, 255, too_long},
      {{"-d", "t," + std::string(1021, 'd')},
       0,
       "\r\n field = " + std::string(1021, 'd') + " \r\n"},
      {{"-d", "t," + std::string(1022, 'd')}, 255, too_long},
      {{"-l", std::string(1024, 'p')}, 255, too_long},
      {{"-m", std::string(1024, 'p')}, 255, too_long},
      {{"-t", std::string(128, 't')}, 255, too_long},
      {{"-f", std::string(64, 'f')}, 255, too_long},
      {{"-a", "system," + std::string(2041, 'a') + ",1"}, 255, too_long},
      {many_a, 255, "\r\n too many files added, at most 50! \r\n"},
      {many_d, 255, "...\r\n too many dest directories, at most 50! \r\n"},
  };
  for (const auto& [args, status, out] : cases) expect(args, status, out);
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
  auto r = expect({"-l", "p.pac"}, 0,
                  "...\r\ntype:meta,version:1.0,feature:99\r\n\r\ntype:system,name:sys.img,"
                  "version:1.2,beta,size:1,offset:0,md5:" +
                      std::string(32, 'a') + "\r\n\r\ntype:t,name:" + std::string(200, 'b') + ",");
  EXPECT_EQ(r.out.find("\r\ntype:meta"), 0u);
  EXPECT_EQ(r.out.substr(r.out.size() - 17), ",offset:49,md5:\r\n");
  EXPECT_EQ(r.err, "");  // no progress: stderr is not a terminal
  // Unknown arguments are still skipped, each named on stderr.
  auto unknown = run({"-E", "p.pac", "-l", "p.pac", "-x"});
  EXPECT_EQ(unknown.out, r.out);
  EXPECT_EQ(unknown.err,
            "kestrelbind: ignoring unknown argument '-E'\nkestrelbind: ignoring unknown argument "
            "'p.pac'\nkestrelbind: ignoring unknown argument '-x'\n");
  // The listing is longer than the stream's buffer: a full stdout is a failure.
  EXPECT_EQ(test::run_tool(dir_, {"-l", "p.pac"}, {}, "/dev/full").status, 255);
  expect({"-l", "."}, 255, "\r\n . is not a pac file! \r\n");
}

// A well-formed slot of the 300-byte data region "x...x".
void good(pac_index& x, int i, const std::string& name, int size, int offset) {
  set_slot(x, i, "t", name, std::to_string(size), std::to_string(offset),
           test::md5_of(std::string(static_cast<std::size_t>(size), 'x')));
}

// Every field of the trailer is outside input: each package, two members in
// 300 bytes with one or two fields set as given, is listed, read, checked
// and extracted; every run must end in 0 or 255 (a crash or a sanitizer
// report gives another) and nothing may appear outside the working
// directory. A refused package gives its message in every mode.
TEST_F(Command, HostilePackagesEndCleanly) {
  const std::string nines(31, '9'), not_right = "\r\n file is not right! \r\n";
  const std::pair<std::vector<std::pair<char, std::string>>, std::string> corpus[] = {
      {{{'c', "0"}}, ""},
      {{{'c', "-1"}}, ""},
      {{{'c', nines}}, "\r\n file count " + nines + " is more than 50! \r\n"},
      {{{'n', "../evil"}, {'N', at("escaped")}}, ""},  // names that leave the directory
      {{{'N', "p.pac"}}, ""},                          // the package's own name
      {{{'S', "-2147483648"}}, "\r\n file size is not right! \r\n"},
      {{{'S', "-100"}}, "\r\n file size is not right! \r\n"},
      {{{'c', "51"}}, "\r\n file count 51 is more than 50! \r\n"},
      {{{'S', "2147483647"}}, not_right},
      {{{'S', "301"}, {'O', "0"}}, not_right},  // past the data, alone or summed
      {{{'S', "0"}, {'O', "301"}}, not_right},
      {{{'S', "200"}, {'O', "101"}}, not_right},
      {{{'S', "4294967296"}, {'O', "0"}}, not_right},
      {{{'S', "0"}, {'O', "-2147483649"}}, not_right},
      {{{'O', "4294967396"}}, not_right},
      {{{'o', "-2147483648"}}, ""},
      {{{'S', " \t+200junk"}, {'O', "  100 7"}}, ""},  // blanks, signs and garbage
      {{{'W', ""}}, ""},                               // fields without a terminator
      {{{'s', "300"}, {'S', "-100"}, {'g', ""}}, ""},  // a negative size passes the sum
  };
  const std::string work = at("w");
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((work + "/out").c_str(), 0755), 0);
  for (const auto& [edits, refused] : corpus) {
    SCOPED_TRACE(edits[0].second);
    pac_index x;
    set_field(x.count, "2", "");
    good(x, 0, "a", 100, 0);
    good(x, 1, "b", 200, 100);
    for (const auto& [what, value] : edits) {  // lower case: slot 0, upper: slot 1
      pac_member& m = x.members[std::isupper(what) ? 1 : 0];
      switch (std::tolower(what)) {
        case 'c':
          set_field(x.count, value, "");
          break;
        case 'n':
          set_field(m.name, value, "");
          break;
        case 's':
          set_field(m.size, value, "");
          break;
        case 'o':
          set_field(m.offset, value, "");
          break;
        case 'g':
          good(x, 2, "c", 100, 200);
          break;
        default:
          m.type.fill('T'), m.md5.fill('M'), m.name.fill('N'), x.feature.fill('F');
      }
    }
    const std::string bytes = test::package_bytes(std::string(300, 'x'), x);
    for (const auto& args : std::vector<std::vector<std::string>>{{"-l", "p.pac"},
                                                                  {"-r", "p.pac", "-t", "t"},
                                                                  {"-r", "p.pac", "-n", "b"},
                                                                  {"-c", "p.pac"},
                                                                  {"-e", "p.pac", "-p"},
                                                                  {"-e", "p.pac", "-d", "t,out"},
                                                                  {"-e", "p.pac"}}) {
      test::write_file(work + "/p.pac", bytes);
      auto r =
          refused.empty() ? test::run_tool(work, args) : expect(work, args, 255, "..." + refused);
      EXPECT_TRUE(r.status == 0 || r.status == 255) << args[0] << " " << r.status << r.out;
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
  expect({"-e", "p.pac"}, 255,
         "\r\n members of p.pac overlap, it can not be extracted in place! \r\n");
  EXPECT_EQ(test::read_file(at("p.pac")), overlap);
  EXPECT_EQ(test::list_dir(dir_), (std::vector<std::string>{"in", "p.pac"}));
  expect({"-e", "p.pac", "-p"}, 0, "...");  // reading both is harmless
  EXPECT_EQ(test::read_file(at("b")), std::string(100, 'x'));

  good(index, 0, "a", 100, 0);
  good(index, 1, "b", 100, 200);  // a gap of 100 bytes between them,
  set_field(index.count, "3", "");
  good(index, 2, "ghost", 100, -1);  // which a member never visited makes up
  test::write_file(at("p.pac"), test::package_bytes(std::string(300, 'x'), index));
  expect({"-e", "p.pac"}, 0, "...");
  EXPECT_EQ(test::read_file(at("a")), std::string(100, 'x'));
  EXPECT_EQ(test::file_size(at("p.pac")), 0);
}

}  // namespace
}  // namespace kb
