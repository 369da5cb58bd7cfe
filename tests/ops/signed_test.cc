// Signed packages: nothing is written, created or cut before the package
// has proved where it comes from, and a resume proves it again.

#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

struct Signed : pac_test {
  // p.pac of ms signed with key k ("build 7"), and the signatures legacy,
  // k1 and ctl of it, and a key other; false when minisign can not make them.
  bool signed_package() {
    std::filesystem::copy(KESTRELBIND_TEST_DATA, at("data"));  // a package signed once for all
    make(ms);
    const std::string sh =
        "cd " + dir_ + " && (minisign -G -W -p k.pub -s k.sec && " +
        "minisign -G -W -p other.pub -s other.sec && minisign -S -s k.sec " +
        "-m p.pac -t 'build 7' && minisign -S -l -s k.sec -m p.pac -x legacy && " +
        "minisign -S -s k.sec -m p.pac -x k1 -t \"$(printf 'model:K1 " +
        "board:x\\ttimestamp:1700000000')\" && minisign -S -s k.sec -m p.pac -x " +
        "ctl -t \"$(printf 'model:K1\\033[2Jx')\") </dev/null >/dev/null 2>&1";
    if (std::system(sh.c_str()) != 0) return false;
    write_file(at("k.pub"), read_file(at("k.pub")) + "\n\n");  // blank lines after a key are fine
    return true;
  }
  std::string key_id() {
    return words(run_tool(dir_, words("-c p.pac -k k.pub")).out).at(5).substr(0, 16);
  }
  const std::string bad = "\r\n signature of package p.pac is not right! \r\n";
};

TEST_F(Signed, TheTestDataVerifies) {
  std::filesystem::copy(KESTRELBIND_TEST_DATA, at("data"));
  expect("-c signed.pac -k signed.pub", 0,
         somewhere("\r\n package signed.pac verified with key AAB07FFD736E06E0, trusted comment: "
                   "kestrelbind test data \r\n\r\n check file fw.bin size:"),
         at("data"));
}

TEST_F(Signed, EveryBadSignatureKeyOrCommentIsRefusedChangingNothing) {
  if (!signed_package()) GTEST_SKIP() << "minisign cannot make keys here";
  const std::string pkg = read_file(at("p.pac")), sig = read_file(at("p.pac.minisig")),
                    k1 = read_file(at("k1"));
  // Another base64 digit, or another byte.
  auto changed = [](std::string s, std::size_t at) { return s[at] = s[at] == 'A' ? 'B' : 'A', s; };
  const std::size_t line2 = sig.find('\n') + 25, global = sig.rfind('\n') - 10;
  const std::string bad_comment = "\r\n trusted comment of package p.pac is not right! \r\n";
  const std::string k_id = key_id();
  const std::string verified =
      "\r\n package p.pac verified with key " + k_id + ", trusted comment: ";
  const std::string not_k1 =
      verified + "build 7 \r\n\r\n package p.pac is refused, its trusted comment \"build 7\" ";
  const std::string k1_comment = "model:K1 board:x\ttimestamp:1700000000";
  const std::string for_k1 = verified + k1_comment +
                             " \r\n\r\n package p.pac is refused, its trusted comment \"" +
                             k1_comment + "\" ";
  const std::string not_sig = "\r\n signature file p.pac.minisig is not a minisign signature! \r\n";
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {changed(pkg, 1000), sig, "k.pub", bad},
      {changed(pkg, pkg.size() - 1), sig, "k.pub", bad},
      {pkg, changed(sig, line2), "k.pub", bad},
      {pkg, changed(sig, sig.find("build 7")), "k.pub", bad_comment},
      {pkg, changed(sig, global), "k.pub", bad_comment},
      {pkg, sig, "data/signed.pub",
       "\r\n package p.pac is signed by key " + k_id + ", not by key AAB07FFD736E06E0! \r\n"},
      {pkg, "", "k.pub", "\r\n signature file p.pac.minisig can not be read! \r\n"},
      {pkg, read_file(at("legacy")), "k.pub",
       "\r\n signature file p.pac.minisig is in the legacy mode, sign with the default prehashed "
       "mode (minisign -Sm)! \r\n"},
      {pkg, sig, "k.sec", "\r\n key file k.sec is not a minisign public key! \r\n"},
      {pkg, sig.substr(0, sig.size() / 2), "k.pub", not_sig},
      {pkg, sig + "more\n", "k.pub", not_sig},
      {pkg, sig + std::string(8192, '\n'), "k.pub",  // more than a signature file can be
       "\r\n signature file p.pac.minisig can not be read! \r\n"},
      {pkg, changed(sig, sig.find('\n') + 1), "k.pub", not_sig},  // neither algorithm
      {pkg, std::string(sig).replace(sig.find("build 7"), 7, std::string(2100, 'c')), "k.pub",
       not_sig},  // a line longer than any a signature file holds
      // A good signature, but the comment is not for this device or not new.
      {pkg, sig + "\n\n", "k.pub --expect model:K1", not_k1 + "does not hold model:K1! \r\n"},
      {pkg, k1, "k.pub --expect model:K", for_k1 + "does not hold model:K! \r\n"},
      {pkg, k1, "k.pub --expect model:K10", for_k1 + "does not hold model:K10! \r\n"},
      {pkg, k1, "k.pub --expect model:K1 --expect board:y --expect board:x",
       for_k1 + "does not hold board:y! \r\n"},
      {pkg, k1, "k.pub --newer-than 1700000000", for_k1 + "is not newer than 1700000000! \r\n"},
      {pkg, k1, "k.pub --newer-than 1800000000", for_k1 + "is not newer than 1800000000! \r\n"},
      {pkg, sig, "k.pub --newer-than 0", not_k1 + "holds no timestamp! \r\n"},
      {pkg, read_file(at("ctl")), "k.pub --expect model:K2",  // an escape shown as "?"
       verified + "model:K1?[2Jx \r\n\r\n package p.pac is refused, its trusted comment "
                  "\"model:K1?[2Jx\" does not hold model:K2! \r\n"}};
  for (const auto& [p, s, key, message] : cases) {
    write_file(at("p.pac"), p), write_file(at("p.pac.minisig"), s);
    if (s.empty()) std::remove(at("p.pac.minisig").c_str());
    const auto before = list_dir(dir_);
    for (const char* mode : {"-e ", "-r ", "-c "}) {
      expect(mode + ("p.pac -n M1 -k " + key), 255, message);
      EXPECT_TRUE(read_file(at("p.pac")) == p);
      EXPECT_EQ(list_dir(dir_), before);
    }
  }
  write_file(at("p.pac"), pkg), write_file(at("p.pac.minisig"), k1);
  for (std::string mode : {"-r p.pac -n M1", "-c p.pac", "-e p.pac"}) {
    expect(mode + " -k k.pub --expect board:x --newer-than 1699999999 --expect model:K1", 0,
           somewhere("trusted comment: model:K1 board:x\ttimestamp:1700000000 \r\n"));
  }
  EXPECT_EQ(file_size(at("p.pac")), 0);
}

// Cut short, the package is put together again from what it holds, the
// outputs and the journal, and verified anew, whoever ran the first part.
TEST_F(Signed, AResumeVerifiesThePackageAgain) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  if (!signed_package()) GTEST_SKIP() << "minisign cannot make keys here";
  const std::string pkg = read_file(at("p.pac"));
  for (const char* first : {"-e p.pac -k k.pub", "-e p.pac"}) {
    write_file(at("p.pac"), pkg);
    run_tool(dir_, words(first), fault_env("kill:/p.pac:3:truncate"));
    expect("-e p.pac -k other.pub", 255, somewhere("is signed by key"));
    expect("-e p.pac -k k.pub", 0,
           somewhere("\r\n resuming the extract of p.pac that was cut short \r\n"));
    for (const auto& m : ms) EXPECT_TRUE(read_file(at(m.name)) == m.bytes);
  }
  // The journal carries the hash before the trailer: a forged one is
  // refused, changing nothing; with the true one, an output damaged while
  // the run was down is named and left out, the rest extracted, as without
  // a key.
  write_file(at("p.pac"), pkg);
  run_tool(dir_, words("-e p.pac -k k.pub"), fault_env("kill:/p.pac:3:truncate+"));
  const std::string journal = read_file(at("p.pac.journal")), cut = read_file(at("p.pac"));
  std::string forged = flipped(journal, journal.find("hash ") + 12);
  forged.erase(forged.rfind("md5 "));
  write_file(at("p.pac.journal"), forged + "md5 " + md5_hex(forged) + "\n");
  expect("-e p.pac -k k.pub", 255, somewhere(bad));
  EXPECT_TRUE(read_file(at("p.pac")) == cut);
  write_file(at("p.pac.journal"), journal);
  for (const auto& f : list_dir(dir_))
    if (f.rfind(".M", 0) == 0) write_file(at(f), flipped(read_file(at(f)), 3));
  expect("-e p.pac -k k.pub", 255,
         somewhere("was damaged when the extract was cut short, it is left out! \r\n"));
  EXPECT_EQ(file_size(at("p.pac")), 0);
}

// A stop during the last member of a verified run, once members of every
// size are out (below the trailer's, above it, one piece, several): the
// put-back keeps the journal, and only the same key (and what the command
// asks of its comment) finishes the job.
TEST_F(Signed, APutBackKeepsTheJournalForTheSameKey) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  if (!signed_package()) GTEST_SKIP() << "minisign cannot make keys here";
  const std::string k_id = key_id();
  std::vector<member_file> sizes;
  for (std::size_t n : {1000, 30000, 524288, 1200000, 1300000})
    sizes.push_back({"t", "s" + std::to_string(n), random_bytes(n, 5)});
  make(sizes);
  ASSERT_EQ(std::system(("cd " + dir_ + " && minisign -S -s k.sec -m p.pac -t 'model:K1' " +
                         "</dev/null >/dev/null 2>&1")
                            .c_str()),
            0);
  const std::string sized = read_file(at("p.pac"));
  // Also when the journal can not be told where the members end (no room
  // for its new copy): the trailer says it.
  for (const char* no_room : {"", ";write:/p.pac.journal.tmp:2"}) {
    write_file(at("p.pac"), sized);
    expect(
        "-e p.pac -k k.pub", 128 + SIGTERM,
        somewhere("interrupted! \r\n\r\n package p.pac now holds the 1 members not yet extracted "
                  "\r\n"),
        "", fault_env("raise:/s1300000:@524288:15@write" + std::string(no_room)));
    expect("-e p.pac", 255,
           "\r\n the extract of p.pac was verified with key " + k_id +
               " before it was cut short, give that key (-k) to finish it! \r\n");
    expect("-e p.pac -k k.pub --expect model:K2", 255, somewhere("does not hold model:K2! \r\n"));
    expect("-e p.pac -k k.pub --expect model:K1", 0, somewhere("resuming the extract"));
  }
  for (const auto& m : sizes) EXPECT_TRUE(read_file(at(m.name)) == m.bytes) << m.name;
  // Fetched again whole after a put-back: a fresh run, verified whole,
  // whatever the journal says.
  write_file(at("p.pac"), sized);
  expect("-e p.pac -k k.pub", 128 + SIGTERM, somewhere("interrupted!"), "",
         fault_env("raise:/s1300000:@524288:15@write"));
  write_file(at("p.pac"), sized);
  const auto r = run_tool(dir_, words("-e p.pac -k k.pub"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("resuming"), std::string::npos) << r.out;
}
