// The command as a user runs it: a full listing, JSON read back by a parser,
// the terminal's progress line, and hostile packages that every operation
// must survive. (The exact texts of every message are pinned in cases/.)
#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

using Command = pac_test;

TEST_F(Command, ListsEveryFieldAndFailsOnAFullStdout) {
  std::string slots = "50", listing = "\r\ntype:meta,version:1.0,feature:99\r\n";
  for (int i = 0; i < 50; ++i) {  // each slot one byte "x" of the data
    const std::string name(200, 'a' + i % 26), offset = std::to_string(i);
    slots += "|" + name + ",1," + offset;
    listing += "\r\ntype:t,name:" + name + ",version:" + (i ? "1" : "1.2,beta") +
               ",size:1,offset:" + offset + ",md5:9dd4e461268c8034f5c8564e155c67a6\r\n";
  }
  stored_trailer index = index_of(slots, std::string(50, 'x'));
  set_field(index.slots[0].version, "1.2,beta", "");
  set_field(index.meta_version, "1.0", ""), set_field(index.feature, "99", "");
  write_file(at("p.pac"), package_bytes(std::string(50, 'x'), index));
  auto r = expect("-l p.pac", 0, listing);
  EXPECT_EQ(r.err, "");  // no progress: stderr is not a terminal
  // The listing is longer than the stream's buffer: a full stdout is a failure.
  const std::string full = "cd '" + dir_ + "' && " KESTRELBIND_COMMAND " -l p.pac >/dev/full";
  EXPECT_EQ(WEXITSTATUS(std::system(full.c_str())), 255);
  expect("-l .", 255, "\r\n . is not a pac file! \r\n");
  // --json: one document on stdout, read back by Python's json module. Names
  // with quotes, commas and a newline, and bytes that are not UTF-8, come
  // back whole; check gives each member's verdict and its messages go to stderr.
  stored_trailer odd = index_of("4|a,1,0|b,1,1|c,1,2|d,1,3", "wxyz");
  const char* const odd_names[] = {"q\"uote,comma", "new\nline", "bad\xff", "caf\xc3\xa9"};
  for (int i = 0; i < 4; ++i) set_field(odd.slots[i].name, odd_names[i], "");
  set_field(odd.slots[3].md5, md5_hex("W"), "");
  set_field(odd.meta_version, "1.0", ""), set_field(odd.feature, "f\x80", "");
  write_file(at("p.pac"), package_bytes("wxyz", odd));
  write_file(at("read.py"),
             "import json, sys\nd = json.load(sys.stdin)\nprint(d['meta_version'], "
             "bytes.fromhex(d['feature_hex']))\nfor m in d['members']:\n  name = "
             "bytes.fromhex(m['name_hex']) if 'name_hex' in m else m['name'].encode()\n  "
             "print(name, m['type'], m['size'], m['offset'], m['md5'] == m.get('digest'), "
             "m.get('verdict'), m.get('refused'))\n");
  auto parsed = [&](const std::string& args, int status) {
    auto j = run_tool(dir_, words(args));
    write_file(at("out.json"), j.out);
    const std::string py = "cd '" + dir_ + "' && python3 read.py <out.json >parsed 2>&1";
    EXPECT_EQ(std::system(py.c_str()), 0) << j.out;
    EXPECT_EQ(j.status, status);
    return read_file(at("parsed")) + j.err;
  };
  EXPECT_EQ(parsed("-l p.pac --json", 0),
            "1.0 b'f\\x80'\nb'q\"uote,comma' t 1 0 False None None\nb'new\\nline' t 1 1 False None "
            "None\nb'bad\\xff' t 1 2 False None None\nb'caf\\xc3\\xa9' t 1 3 False None None\n");
  EXPECT_EQ(
      parsed("-c p.pac --json -d t,.", 255),
      "1.0 b'f\\x80'\nb'q\"uote,comma' t 1 0 True good None\nb'new\\nline' t 1 1 True good "
      "name is not a plain file name\nb'bad\\xff' t 1 2 True good None\nb'caf\\xc3\\xa9' t 1 3 "
      "False damaged None\n\r\n field = . \r\n\r\n check file q\"uote,comma size:1 md5:" +
          md5_hex("w") +
          ",version:1 good! \r\n\r\n check file new?line size:1 md5:" + md5_hex("x") +
          ",version:1 good! \r\n\r\n file name new?line is not allowed: a member name must "
          "not hold control bytes! \r\n\r\n check file bad\xff size:1 md5:" +
          md5_hex("y") + ",version:1 good! \r\n\r\n check file caf\xc3\xa9 checksum " +
          md5_hex("z") + " not right! \r\n\r\n package p.pac has 1 damaged members! \r\n");
}

// On a terminal a member shows one progress line on stderr, cut to the
// terminal's width and cleared at the end; the first piece draws it.
TEST_F(Command, ProgressOnATerminal) {
  make({{"system", "X", random_bytes(1100000, 9)}});
  auto on_terminal = [&](const char* cols) {
    const std::string sh = "cd " + dir_ + " && script -qec \"stty cols " + cols +
                           "; " KESTRELBIND_COMMAND " -r p.pac -n X -o out\" /dev/null >tty";
    return std::system(sh.c_str()) == 0 ? read_file(at("tty")) : "";
  };
  const std::string wide = on_terminal("80"), narrow = on_terminal("12");
  if (wide.empty()) GTEST_SKIP() << "no terminal can be had (script)";
  EXPECT_EQ(wide.rfind("\r\033[KX 0.5 of 1.1 MB  47%", 0), 0u) << visible(wide);
  EXPECT_EQ(narrow.rfind("\r\033[K0.5 of 1.\r", 0), 0u) << visible(narrow);
  EXPECT_EQ(wide.substr(wide.size() - 4), "\r\033[K");
}

// Every field of the trailer is outside input: each package, members in 300
// bytes, is listed, read, checked and extracted; every run must end in 0 or
// 255 (a crash or a sanitizer report gives another) and nothing may appear
// outside the working directory. A refused package gives its message in
// every mode.
TEST_F(Command, HostileAndOverlappingPackagesEndCleanly) {
  const std::string nines(31, '9'), not_right = "\r\n file is not right! \r\n";
  const std::pair<std::string, std::string> corpus[] = {
      {"0|a,100,0|b,200,100", ""},
      {"-1|a,100,0|b,200,100", ""},
      {nines + "|a,100,0|b,200,100", "\r\n file count " + nines + " is more than 50! \r\n"},
      {"51|a,100,0|b,200,100", "\r\n file count 51 is more than 50! \r\n"},
      {"2|../evil,100,0|" + at("escaped") + ",200,100", ""},  // names that leave the directory
      {"2|a,100,0|p.pac,200,100", ""},                        // the package's own name
      {"2|a,100,0|b,-2147483648,100", not_right},             // negative: never made, refused
      {"2|a,100,0|b,-100,100", not_right},
      {"2|a,100,0|b,2147483647,100", not_right},
      {"2|a,100,0|b,301,0", not_right},  // past the data, alone or summed
      {"2|a,100,0|b,0,301", not_right},
      {"2|a,100,0|b,200,101", not_right},
      {"2|a,100,0|b,4294967296,0", not_right},
      {"2|a,100,0|b,0,-2147483649", not_right},
      {"2|a,100,0|b,200,4294967396", not_right},
      {"2|a,100,-2147483648|b,200,100", not_right},
      {"2|a,100,0|b, \t+200junk,  100 7", ""},  // blanks, signs and garbage
      {"2|a,100,0|b,200,100|unterminated", ""},
      {"3|a,300,0|b,-100,100|c,100,200", not_right},  // though the sum holds
      {"2|a,100,0|b,199,100", "\r\n file size is not right! \r\n"},
  };
  const std::string work = at("w"), data(300, 'x');
  std::filesystem::create_directories(work + "/out");
  for (const auto& [slots, refused] : corpus) {
    SCOPED_TRACE(slots);
    stored_trailer x = index_of(slots, data);
    if (slots.find("unterminated") != std::string::npos) {  // fields without their NUL
      x.slots[1].type.fill('T'), x.slots[1].md5.fill('M'), x.slots[1].name.fill('N');
      x.feature.fill('F');
    }
    for (const char* args : {"-l p.pac", "-r p.pac -t t", "-r p.pac -n b", "-c p.pac",
                             "-e p.pac -p", "-e p.pac -d t,out", "-e p.pac"}) {
      write_file(work + "/p.pac", package_bytes(data, x));
      auto r = refused.empty() ? run_tool(work, words(args))
                               : expect(args, 255, somewhere(refused), work);
      EXPECT_TRUE(r.status == 0 || r.status == 255) << args << " " << r.status << r.out;
    }
    EXPECT_EQ(list_dir(dir_), (names{"in", "w"}));
  }
  // Overlapping members are refused in place only; a gap is fine.
  std::filesystem::remove_all(work);
  const std::string overlap = package_bytes(data, index_of("2|a,200,0|b,100,100", data));
  write_file(at("p.pac"), overlap);
  expect("-e p.pac", 255, "\r\n members of p.pac overlap, it can not be extracted in place! \r\n");
  EXPECT_EQ(read_file(at("p.pac")), overlap);
  EXPECT_EQ(list_dir(dir_), (names{"in", "p.pac"}));
  expect("-e p.pac -p", 0, status_only);  // reading both is harmless
  EXPECT_EQ(read_file(at("b")), std::string(100, 'x'));
  // A gap of 100 bytes between them, which a slot past the count makes up.
  write_file(at("p.pac"), package_bytes(data, index_of("2|a,100,0|b,100,200|c,100,0", data)));
  expect("-e p.pac", 0, status_only);
  EXPECT_EQ(read_file(at("a")), std::string(100, 'x'));
  EXPECT_EQ(file_size(at("p.pac")), 0);
}
