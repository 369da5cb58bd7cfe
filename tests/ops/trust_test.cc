// A root-run update in a directory that an unprivileged downloader fills:
// whatever that downloader puts beside the package, renames or swaps in
// mid-run, root installs only what the key signed, writes nothing through a
// link it did not choose, hangs on nothing, and a victim file stays as it was.
#include <sys/stat.h>

#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

struct Trust : pac_test {
  struct attack {
    std::string name, setup, args, fault;
    int status;
    bool installed;          // the signed members are out; else nothing new is
    std::string says = "";   // somewhere on stdout (on stderr with -o -)
    bool closed = false;     // started with fds 0, 1 and 2 closed
    std::string lands = "";  // where M1 is installed instead, under dl
  };
  const std::string dl = at("dl"), victim = at("victim"), sys = at("sys");
  const std::string cmd = "-e p.pac -k ../k.pub -d system," + sys;
  std::string good, sig, evil, key_line;

  std::string prepare();
  // A command run as the downloader in its directory.
  std::string as_nobody(const std::string& cmd) const {
    return "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c 'cd " + dl + " && " + cmd +
           "'";
  }
  // The journal of evil.pac cut short in dl (M3 out, under root's own
  // temporary name), then edited to vouch for the maker's key, to claim a
  // put-back of the untouched package, or to send M3 elsewhere.
  void forge(const std::string& setup);
  // Each attack on a fresh dl and sys, and what must hold after it.
  void expect_attacks(std::initializer_list<attack> attacks);
  static std::string side(const std::string& name) {
    return "\r\n file " + name +
           " is kept beside the package p.pac, refusing to overwrite it! \r\n";
  }
};

// Skips first: the reason when the attacks can not be made here, else
// empty once the packages are made. Signed: M1 (system, to sys, where an
// older M1 is installed), M2 and M3 (to the download directory). The
// attacker's own: M3 alone, 2 pieces.
std::string Trust::prepare() {
  if (fault_env("").empty()) return no_preload;
  if (geteuid() != 0) return "the attacks need root and an unprivileged user";
  chmod(dir_.c_str(), 0711);  // the downloader can reach its directory, no more
  const std::string reach = "setpriv --reuid=nobody --regid=nogroup --clear-groups test -x " + dir_;
  if (std::system(reach.c_str()) != 0) return "the unprivileged user can not reach " + dir_;
  const std::string sh = "cd " + dir_ + " && minisign -G -W -p k.pub -s k.sec </dev/null";
  if (std::system((sh + " >/dev/null 2>&1").c_str()) != 0) return "no minisign here";
  make(ms, "good.pac");
  EXPECT_EQ(std::system(("cd " + dir_ + " && minisign -S -s k.sec -m good.pac >/dev/null").c_str()),
            0);
  make({{"idu", "M3", random_bytes(700000, 9)}}, "evil.pac");
  make({{"system", "M1", "evil"}}, "evil1.pac");
  // The downloader's own: members named as the files beside the package,
  // and a version that prints a success line of its own.
  for (const char* side : {"p.pac.journal", "p.pac.journal.AAAAAA", "p.pac.minisig"})
    make({{"idu", side, "evil"}}, std::string(side) + ".pac");
  const std::string forged = "\r\n extract file M1 size:4 md5:0,version:1 successfully! \r\n";
  EXPECT_EQ(run_tool(dir_, {"-m", "forged.pac", "-a", "idu,in/M3," + std::string(60, 'V')}).status,
            0);
  std::string f = read_file(at("forged.pac"));
  f.replace(f.find(scramble(std::string(60, 'V'))), 60,
            scramble(forged + std::string(60 - forged.size(), ' ')));
  write_file(at("forged.pac"), f);
  good = read_file(at("good.pac")), sig = read_file(at("good.pac.minisig"));
  evil = read_file(at("evil.pac"));
  key_line = read_file(at("k.pub")).substr(0, read_file(at("k.pub")).find('\n'));
  return "";
}

void Trust::forge(const std::string& setup) {
  if (setup == "stale") {  // its temporary name: a root file in sys
    write_file(dl + "/p.pac", read_file(at("evil1.pac")));
    run_tool(dl, {"-e", "p.pac", "-d", "system," + sys}, fault_env("kill:/p.pac:1:truncate"));
    std::string j = read_file(dl + "/p.pac.journal");
    j.replace(j.find("\n.M1.kb") + 1, 12, ".M1.kbAAAAAA");
    j.erase(j.rfind("md5 "));
    write_file(dl + "/p.pac.journal", j + "md5 " + md5_hex(j) + "\n");
    write_file(sys + "/.M1.kbAAAAAA", "root's");
    return;
  }
  write_file(dl + "/p.pac", evil);
  run_tool(dl, {"-e", "p.pac"}, fault_env("kill:/p.pac:1:truncate+"));
  std::string j = read_file(dl + "/p.pac.journal");
  j.replace(j.find("restored -1\n"), 12,
            "restored " + (setup == "restored" ? std::to_string(evil.size() - 24160) : "-1") +
                "\nkey " + words(key_line).back() + "\n");
  if (setup == "restored") write_file(dl + "/p.pac", evil);
  if (setup == "elsewhere") j.replace(j.find(dl + "/M3"), dl.size(), dir_);
  j.erase(j.rfind("md5 "));
  write_file(dl + "/p.pac.journal", j + "md5 " + md5_hex(j) + "\n");
}

void Trust::expect_attacks(std::initializer_list<attack> attacks) {
  for (const auto& a : attacks) {
    SCOPED_TRACE(a.name);
    std::filesystem::remove_all(dl), std::filesystem::remove_all(sys);
    std::filesystem::create_directories(sys);
    write_file(sys + "/M1", "installed");
    write_file(victim, "secret");
    chmod(victim.c_str(), 0600);
    std::filesystem::create_directory(dl);
    write_file(dl + "/p.pac", good), write_file(dl + "/p.pac.minisig", sig);
    write_file(dl + "/evil.pac", evil);
    chmod((dl + "/p.pac").c_str(), 0666);
    EXPECT_EQ(std::system(("chown -R nobody:nogroup " + dl).c_str()), 0);
    if (a.setup == "journal" || a.setup == "restored" || a.setup == "elsewhere" ||
        a.setup == "stale") {
      forge(a.setup);
    } else if (a.setup.rfind("root:", 0) == 0) {  // where the kernel lets anyone link
      EXPECT_EQ(std::system(("cd " + dl + " && " + a.setup.substr(5)).c_str()), 0);
    } else if (!a.setup.empty()) {
      EXPECT_EQ(std::system(as_nobody(a.setup).c_str()), 0);
    }
    const bool regular =
        std::filesystem::is_regular_file(dl + "/p.pac");  // not the FIFO, nor /dev/zero
    const std::string pkg = regular ? read_file(dl + "/p.pac") : "";
    auto r = run_tool(dl, words(a.args),
                      a.fault.empty() ? std::vector<std::string>{} : fault_env(a.fault), a.closed);
    EXPECT_EQ(r.status, a.status) << r.out;
    const bool to_stdout = a.args.find("-o -") != std::string::npos;
    EXPECT_NE((to_stdout ? r.err : r.out).find(a.says), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(!to_stdout || r.out.empty());
    EXPECT_TRUE(a.setup.find("mkfifo p.pac.minisig") != std::string::npos ||
                read_file(dl + "/p.pac.minisig") == sig);
    EXPECT_TRUE(a.lands.empty() || read_file(dl + "/" + a.lands) == ms[0].bytes);
    EXPECT_EQ(read_file(victim), "secret");
    EXPECT_TRUE(a.setup != "stale" || read_file(sys + "/.M1.kbAAAAAA") == "root's");
    EXPECT_TRUE(a.args.find("M3.out") == std::string::npos ||
                read_file(dl + "/M3.out") == ms[2].bytes);
    EXPECT_TRUE(read_file(at("good.pac")) == good);
    EXPECT_EQ(read_file(sys + "/M1"), a.installed ? ms[0].bytes : "installed");
    const std::string m3 = read_file(dl + "/M3");
    EXPECT_TRUE(m3.empty() || m3 == ms[2].bytes);  // never the attacker's M3
    if (a.installed) {
      struct stat st;
      EXPECT_EQ(lstat((dl + "/M3").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0644u & ~0022u);  // its read bits, write for root alone
      EXPECT_EQ(st.st_uid, 0u);
    } else if (a.fault.empty() && regular) {
      EXPECT_TRUE(read_file(dl + "/p.pac") == pkg);  // refused before anything changed
    }
  }
}

TEST_F(Trust, JournalsBesideThePackageAreNeverFollowed) {
  if (const std::string why = prepare(); !why.empty()) GTEST_SKIP() << why;
  expect_attacks({
      {"a forged journal", "journal", cmd, "", 255, false},
      {"a forged journal of a put-back", "restored", cmd, "", 255, false},
      {"a journal sending M3 elsewhere", "elsewhere", "-e p.pac", "", 255, false},
      {"a stale journal naming a root file", "stale", cmd, "", 255, false},
      {"a link as the journal", "ln -s " + victim + " p.pac.journal", cmd, "", 255, false},
      {"a FIFO as the journal", "mkfifo p.pac.journal", cmd, "", 255, false,
       "\r\n can not read journal p.pac.journal! \r\n"},
      // The journal is written before anything changes: without it, nothing does.
      {"closed standard descriptors and a directory as the journal", "", cmd,
       "run:/p.pac:2:" + as_nobody("mkdir p.pac.journal"), 255, false, "", true},
  });
}

TEST_F(Trust, LinksAndSwapsLeadNowhereElse) {
  if (const std::string why = prepare(); !why.empty()) GTEST_SKIP() << why;
  // The -d directory sys, root's, swapped for a link to root's real one.
  const std::string exchange = as_nobody(
      "ln -s " + sys + " t && python3 -c \"__import__(\\\"ctypes\\\").CDLL(None).renameat2(-100, " +
      "b\\\"sys\\\", -100, b\\\"t\\\", 2)\"");
  const std::string swapped = "-e p.pac -k ../k.pub -d system,sys";
  const std::string swap =
      as_nobody("for t in .M2.kb*; do rm -f $t; ln -s " + victim + " $t; done");
  expect_attacks({
      {"a rename while hashing", "", cmd, "run:/p.pac:2:" + as_nobody("mv -f evil.pac p.pac"), 0,
       true},
      {"a link at an output's name", "ln -s " + victim + " M3", cmd, "", 0, true},
      {"a link as the package", "rm p.pac && ln -s ../good.pac p.pac", cmd, "", 255, false,
       "\r\n file p.pac is a symbolic link, refusing to extract it in place! \r\n"},
      {"a hard link as the package", "root:rm p.pac && ln ../good.pac p.pac", cmd, "", 255, false,
       "\r\n file p.pac has other names, refusing to extract it in place! \r\n"},
      {"a link at -o's name to a device", "ln -s /dev/null M3.out",
       "-r p.pac -k ../k.pub -t idu -o M3.out", "", 0, false},
      {"a link swapped in during a put-back", "", "-e p.pac",
       "run:/p.pac:5:" + swap + ";write:/M2:2", 255, false},
      {"-d swapped for a link once the signature is read", "root:mkdir sys", swapped,
       "run:/p.pac:2:" + exchange, 0, false, "", false, "t/M1"},
      {"-o through a directory of the downloader's, swapped for a link once verified", "mkdir out",
       "-r p.pac -k ../k.pub -t idu -o out/victim",
       "run:/p.pac:2:" + as_nobody("mv out o2 && ln -s " + dir_ + " out"), 0, false},
  });
}

TEST_F(Trust, FifosDevicesAndChangesNeitherHangNorPassUnsignedBytes) {
  if (const std::string why = prepare(); !why.empty()) GTEST_SKIP() << why;
  expect_attacks({
      {"a FIFO as the signature", "rm p.pac.minisig && mkfifo p.pac.minisig", cmd, "", 255, false,
       "\r\n signature file p.pac.minisig can not be read! \r\n"},
      {"a FIFO as the package", "rm p.pac && mkfifo p.pac", cmd, "", 255, false},
      {"a FIFO at an output's name", "mkfifo M3", cmd, "", 0, true},
      {"/dev/zero as the package", "rm p.pac && ln -s /dev/zero p.pac", "-c p.pac -k ../k.pub", "",
       255, false},
      {"a package grown while verified", "", cmd, "run:/p.pac:2:" + as_nobody("printf x >>p.pac"),
       255, false, "\r\n package p.pac changed while it was verified! \r\n"},
      {"a package grown once verified", "", cmd, "run:/p.pac:21:" + as_nobody("printf x >>p.pac"),
       255, false, "\r\n package p.pac changed while it was extracted! \r\n"},
      {"a package damaged once verified", "", cmd,
       "run:/p.pac:21:" + as_nobody("printf x | dd of=p.pac bs=1 seek=600050 conv=notrunc"), 255,
       false,  // an "x" in the package is a "^" in M1
       "\r\n file " + sys + "/M1 checksum " +
           md5_hex(ms[0].bytes.substr(0, 50) + "^" + ms[0].bytes.substr(51)) +
           " not right! \r\n\r\n package p.pac now holds the 2 members "
           "not yet extracted \r\n"},
      {"a package others can change, to a device", "", "-r p.pac -k ../k.pub -t idu -o /dev/null",
       "", 255, false,
       "\r\n package p.pac can be changed by others, refusing to write it to /dev/null! \r\n"},
      {"-o - from a package others can change", "", "-r p.pac -k ../k.pub -t idu -o -", "", 255,
       false, "\r\n package p.pac can be changed by others, refusing to write it to -! \r\n"},
      {"closed standard descriptors", "", cmd, "", 0, true, "", true},
  });
}

TEST_F(Trust, MembersNamedAsSideFilesOrForgingLinesAreRefused) {
  if (const std::string why = prepare(); !why.empty()) GTEST_SKIP() << why;
  expect_attacks({
      {"a member named as the journal", "cat ../p.pac.journal.pac >p.pac", "-e p.pac", "", 255,
       false, side("p.pac.journal")},
      {"a member named as a journal's temporary file", "cat ../p.pac.journal.AAAAAA.pac >p.pac",
       "-e p.pac", "", 255, false, side("p.pac.journal.AAAAAA")},
      {"a member named as the signature", "cat ../p.pac.minisig.pac >p.pac", "-e p.pac", "", 255,
       false, side("p.pac.minisig")},
      {"a member read as the signature", "cat ../p.pac.minisig.pac >p.pac",
       "-r p.pac -n p.pac.minisig", "", 255, false, side("p.pac.minisig")},
      {"a success line forged in a version", "cat ../forged.pac >p.pac", "-e p.pac", "", 255, false,
       "\r\n package p.pac is refused, its version field holds control bytes! \r\n"},
  });
}

// The README's device script makes the package root's (chown root: p.pac &&
// chmod 0644 p.pac) before it is sent to stdout or a device; the downloader
// kept the descriptor it opened before the chown, and writes through it once
// the package is verified.
TEST_F(Trust, ADescriptorKeptFromBeforeTheChownSendsNoUnsignedByte) {
  if (const std::string why = prepare(); !why.empty()) GTEST_SKIP() << why;
  std::filesystem::create_directory(dl);
  write_file(dl + "/p.pac", good), write_file(dl + "/p.pac.minisig", sig);
  ASSERT_EQ(std::system(("chown -R nobody:nogroup " + dl).c_str()), 0);
  // The downloader's descriptor, open before the chown; on "go" it changes
  // bytes of M2 through it.
  const std::string keep =
      "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c 'cd " + dl +
      " && exec 3<>p.pac && touch ready && n=0; while [ ! -e go ] && [ $n -lt 1000 ]; do sleep "
      "0.01; n=$((n+1)); done; "
      "printf EVILEVIL >&3; printf EVILEVIL | dd bs=1 seek=580000 conv=notrunc >&3 2>/dev/null; "
      "touch gone' &";
  ASSERT_EQ(std::system(keep.c_str()), 0);
  for (int i = 0; i < 500 && !std::filesystem::exists(dl + "/ready"); ++i) usleep(10000);
  ASSERT_EQ(std::system(("cd " + dl + " && chown root: p.pac && chmod 0644 p.pac").c_str()), 0);
  // KB_FAULT separates faults by ";": the root side's move is a script.
  write_file(
      at("go.sh"),
      "touch go; n=0; while [ ! -e gone ] && [ $n -lt 1000 ]; do sleep 0.01; n=$((n+1)); done\n");
  auto r = run_tool(dl, {"-r", "p.pac", "-k", "../k.pub", "-t", "modem", "-o", "-"},
                    fault_env("run:/p.pac:21:sh " + at("go.sh")));
  // Refused, or exactly the signed bytes: never the downloader's.
  EXPECT_TRUE(r.out.empty() || r.out == ms[1].bytes)
      << "status " << r.status << ", " << r.out.size() << " bytes out, " << r.err;
}
