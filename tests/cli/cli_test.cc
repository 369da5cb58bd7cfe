// The command as a user runs it: exact stdout bytes and exit status, and
// hostile packages that every operation must survive.
#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

using Command = pac_test;

TEST_F(Command, ArgumentsAndTheirMessages) {
  // Scripts match these bytes, the old spellings with them.
  const std::string usage =
      "\r\nkestrelbind -m dest-file-name -f decimal-feature-value -a system,sytem-file-name,"
      "sytem-file-version -a modem,modem-file-name,modem-file-version -a idu,idu-file-name,"
      "idu-file-version -a config,config-file-name,config-file-version\r\nkestrelbind -e "
      "extract-file-name -d <file-type>,<dest-directory>\r\nkestrelbind -l list-file-name\r\n"
      "kestrelbind -r extract-file-name -n abc.tar.gz\r\nkestrelbind -r extract-file-name -t "
      "system\r\n";
  const std::string help =
      "\nOptions (see kestrelbind(1) for the whole story):\n"
      "  -m package         make package from the -a members\n"
      "  -a type,path,ver   with -m: add the file at path as a member of that type and version\n"
      "  -f feature         with -m: the package's feature string\n"
      "  -l package         list the package\n"
      "  -e package         extract the package in place, cutting it behind every piece\n"
      "  -d type,dir        with -e: write members of type into dir (else the current one)\n"
      "  -p                 with -e: extract without cutting the package\n"
      "  -t type            with -e, -r, -c: only members of that type (-e then cuts nothing)\n"
      "  -n name            with -r, -c: only the member of that name\n"
      "  -r package         read one member, chosen by -n and/or -t, into the current directory\n"
      "  -o target          with -r: write it to target (a file, a device, - for stdout)\n"
      "  -c package         check every member's MD5, writing nothing\n"
      "  --json             with -l, -c: print one JSON document on stdout instead\n"
      "  -k keyfile         with -e, -r, -c: verify package.minisig with this minisign key\n"
      "  --expect TOKEN     with -k: the trusted comment must hold TOKEN as a whole word\n"
      "  --newer-than N     with -k: the trusted comment must hold timestamp:T with T > N\n"
      "  -V, --version      print the version\n"
      "  -h, --help         print this text\n";
  std::string many_a, many_d;
  for (int i = 0; i < 51; ++i) many_a += " -a t,f,1", many_d += " -d t,/nowhere";
  const auto n = [](int k, char c) { return std::string(k, c); };
  const auto too_long = [](const char* what, int most, const std::string& value) {
    return "\r\n " + std::string(what) + " too long (at most " + std::to_string(most) +
           " bytes): " + value + " \r\n";
  };
  const std::string no_key =
      "\r\n --expect and --newer-than need -k, without a key nothing vouches for the trusted "
      "comment! \r\n";
  const std::string not_here = "\r\n --expect and --newer-than work with -e, -r and -c only! \r\n";
  const std::string not_decimal = " is not a decimal timestamp! \r\n";
  const std::tuple<std::string, int, stdout_is> cases[] = {
      {"", 0, usage},
      {"-l e.pac --help", 0, usage + help},
      {"-h -l", 0, usage + help},
      {"--version", 0, "kestrelbind " KESTRELBIND_VERSION "\n"},
      {"-x -V", 0, "kestrelbind " KESTRELBIND_VERSION "\n"},
      {"-a", 255, "\r\n please specify the file added!\r\n"},
      {"-d", 255, "\r\n please specify the dest directory info!\r\n"},
      {"-e", 255, "\r\n please specify the file name!\r\n"},
      {"-f", 255, "\r\n please specify the file features!\r\n"},
      {"-l", 255, "\r\n please specify the file name!\r\n"},
      {"-m", 255, "\r\n please specify the dest file name!\r\n"},
      {"-p -t", 255, "\r\n please specify the extract file type!\r\n"},
      {"-n", 255, "\r\n please specify the read file name!\r\n"},
      {"-o", 255, "\r\n please specify the output file!\r\n"},
      {"-r", 255, "\r\n please specify the file name!\r\n"},
      {"-c", 255, "\r\n please specify the file name!\r\n"},
      {"-k", 255, "\r\n please specify the key file!\r\n"},
      {"--expect", 255, "\r\n please specify the expected token!\r\n"},
      {"--newer-than", 255, "\r\n please specify the timestamp!\r\n"},
      // Only a key vouches for the trusted comment, and only -e, -r, -c verify.
      {"-e p.pac --expect x", 255, no_key},
      {"-c p.pac --newer-than 1", 255, no_key},
      {"-l p.pac -k k.pub --expect x", 255, not_here},
      {"-m p.pac -k k.pub --newer-than 1", 255, not_here},
      {"-r p.pac -k k.pub --newer-than 12x", 255,
       "\r\n --newer-than \"12x\" is not a decimal timestamp! \r\n"},
      {"--newer-than +1", 255, "\r\n --newer-than \"+1\"" + not_decimal},
      {"--newer-than -1", 255, "\r\n --newer-than \"-1\"" + not_decimal},
      {"--newer-than 18446744073709551616", 255,
       "\r\n --newer-than \"18446744073709551616\"" + not_decimal},
      {"-c p.pac -k k.pub --newer-than 18446744073709551615", 255,
       "\r\n file p.pac not exist! \r\n"},
      // Unknown arguments are skipped, the last mode wins, a value may start
      // with a dash, nothing after a failure is looked at.
      {"-x foo -l a.pac -e -b.pac", 255, "\r\n file -b.pac not exist! \r\n"},
      {"-m e.pac -c e.pac -x", 255, "\r\n file e.pac not exist! \r\n"},
      {"-c /dev/null/p.pac", 255, "\r\n can not open file /dev/null/p.pac! \r\n"},
      {"-d s,/no/such/dir -d m,. -n x", 0, "\r\n field = /no/such/dir \r\n\r\n field = . \r\n"},
      {"-d s,. -d s", 255, "\r\n field = . \r\n\r\n -d parameter not right! \r\n"},
      {"-n " + n(256, 'n'), 255, too_long("read file name", 255, n(256, 'n'))},
      {"-n " + n(255, 'n'), 0, ""},
      {"-d " + n(31, 't') + ",/", 0, "\r\n field = / \r\n"},
      {"-d " + n(32, 't') + ",/", 255, too_long("dest directory type", 31, n(32, 't'))},
      {"-d t," + n(1021, 'd'), 0, "\r\n field = " + n(1021, 'd') + " \r\n"},
      {"-d t," + n(1022, 'd'), 255, too_long("dest directory info", 1023, "t," + n(1022, 'd'))},
      {"-l " + n(1024, 'p'), 255, too_long("file name", 1023, n(1024, 'p'))},
      {"-m " + n(1024, 'p'), 255, too_long("dest file name", 1023, n(1024, 'p'))},
      {"-t " + n(128, 't'), 255, too_long("extract file type", 127, n(128, 't'))},
      {"-f " + n(64, 'f'), 255, too_long("file features", 63, n(64, 'f'))},
      {"-a system," + n(2041, 'a') + ",1", 255,
       too_long("file added", 2047, "system," + n(2041, 'a') + ",1")},
      {many_a, 255, "\r\n too many files added, at most 50! \r\n"},
      {many_d, 255, somewhere("\r\n too many dest directories, at most 50! \r\n")}};
  for (const auto& [args, status, out] : cases) expect(args, status, out);
  EXPECT_EQ(run_tool(dir_, {"-c", "p.pac", "-k", "k", "--expect", "a b"}).out,
            "\r\n --expect \"a b\" is not a single token! \r\n");
}

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
  // Unknown arguments are still skipped, each named on stderr.
  auto unknown = run_tool(dir_, {"-E", "p.pac", "-l", "p.pac", "-x"});
  EXPECT_EQ(unknown.out, r.out);
  EXPECT_EQ(unknown.err,
            "kestrelbind: ignoring unknown argument '-E'\nkestrelbind: ignoring unknown argument "
            "'p.pac'\nkestrelbind: ignoring unknown argument '-x'\n");
  unknown = run_tool(dir_, {"-x", "-p"});  // no operation: nothing done, said on stderr
  EXPECT_EQ(std::to_string(unknown.status) + unknown.out + unknown.err,
            "0kestrelbind: ignoring unknown argument '-x'\nkestrelbind: no operation given (-m, "
            "-l, -e, -r or -c); nothing is done\n");
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
