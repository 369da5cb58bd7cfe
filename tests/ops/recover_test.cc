// Faults, kills and reruns of an extract in place.
#include "support/recover.h"

using namespace kb;
using namespace kb::test;

TEST_F(Recover, AFaultAnywhereIsFinishedByTheSameCommand) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  const std::string write = "\r\n fwrite error:0 \r\n", read = "\r\n crypt_fread error:0 \r\n";
  const std::string stop = "\r\n extract of p.pac was interrupted! \r\n", term = ":15";
  const std::string rerun =
      "\r\n the extract of p.pac is left as a kill would leave it, run the same command again to "
      "finish it! \r\n";
  auto gone = [&](const char* dir) { return "\r\ndest directory " + at(dir) + " not exit! \r\n"; };
  // The fault and, unless it kills the run, the run's last message and the
  // number of members it leaves in the package. X and Y go to mapped
  // directories, which a fault may remove.
  const std::tuple<std::string, std::string, int> cases[] = {
      {"write:/X:@0", write, 1},  // X's first piece, one past a checkpoint, its last
      {"write:/X:@4194304", write, 1},
      {"write:/X:@9437184", write, 1},
      {"write:/Y:@524288", write, 2},
      {"read:/p.pac:@9499999", read, 1},  // X's first piece, its last, Y's first
      {"read:/p.pac:@0", read, 1},
      {"read:/p.pac:@10199999", read, 2},
      {"raise:/p.pac:@8451424" + term, stop, 1},  // X's second piece
      {"raise:/p.pac:@9500000" + term, stop, 1},  // Y's last piece: Y finishes first
      {"rmdir:/p.pac:@10200000:" + at("w/modemdir"), gone("w/modemdir"), 2},  // Z's read
      {"rmdir:/p.pac:@9500000:" + at("w/systemdir"), gone("w/systemdir"), 1},
      // The downloader appends: the run stops, and the growth goes first.
      {"run:/p.pac:@4781407:head -c 5000 /dev/zero >>p.pac",
       "\r\n package p.pac changed while it was extracted! \r\n", 1},
      {"kill:/p.pac:2:truncate", "", 0},                 // Y written, not yet cut
      {"kill:/p.pac:<9500000:truncate", "", 0},          // X's first and last checkpoint
      {"write:/X:@5767168;kill:/p.pac:5:fsync", "", 0},  // while X is put back
      {"write:/X:@5767168;kill:/p.pac.journal.tmp:2:fsync", "", 0},  // before its trailer
      // Pieces written since the checkpoint are in the package still: never read back.
      {"write:/X:@5767168;read:/X:@4194304", write, 1},
      {"write:/X:@5767168;write:/p.pac:1",
       write + "\r\n can not restore package p.pac: Input/output error! \r\n" + rerun, -1},
      {"write:/X:@5767168;read:/X:@1",
       write + "\r\n can not restore package p.pac: unexpected end of file! \r\n" + rerun, -1}};
  const auto args = words("-e p.pac -d system,systemdir -d modem,modemdir");
  for (const auto& [fault, message, left] : cases) {
    SCOPED_TRACE(fault);
    for (const char* d : {"/systemdir", "/modemdir"}) std::filesystem::create_directory(work_ + d);
    auto r = run_tool(work_, args, fault_env(fault));
    EXPECT_EQ(r.status, message.empty() ? 128 + SIGKILL : message == stop ? 128 + SIGTERM : 255);
    for (const auto& e : std::filesystem::directory_iterator(work_ + "/systemdir", ec_))
      EXPECT_TRUE(e.path().filename().c_str()[0] != '.' ||  // X's bytes: root's alone until whole
                  e.status().permissions() == std::filesystem::perms(0600));
    EXPECT_TRUE(message.empty() || ends_with(r.out, message + (left < 0 ? "" : holds(left))))
        << r.out;
    for (const char* d : {"/systemdir", "/modemdir"}) std::filesystem::create_directory(work_ + d);
    expect_finished(words("-e ./p.pac -d system,systemdir -d modem,modemdir"));  // a path, too
    make_in(work_);
  }
  // A stop asked for during the last piece lets the run finish, then end by
  // the signal.
  EXPECT_EQ(run_tool(work_, {"-e", "p.pac"}, fault_env("raise:/p.pac:@0" + term)).status,
            128 + SIGTERM);
  expect_finished({});
  // Operations that keep the package whole remove their temporary file.
  for (const auto& args : {words("-r p.pac -n X"), words("-e p.pac -p -t system")}) {
    make_in(work_);
    EXPECT_EQ(run_tool(work_, args, fault_env("raise:/p.pac:@8451424" + term)).status,
              128 + SIGTERM);
    EXPECT_EQ(list_dir(work_), names{"p.pac"});
  }
  // A run from a directory whose path is longer than any -d one allows.
  const std::string l(200, 'l');
  make_in(at("w/" + l + "/" + l + "/" + l));
  run_tool(work_, {"-e", "p.pac"}, fault_env("kill:/p.pac:1:truncate+"));
  expect_finished({"-e", "p.pac"});
}

// A rerun that can not find what it must finish, or that finds another run
// at work, changes nothing at all; once the world is right, it finishes.
TEST_F(Recover, ARerunChangesNothingUntilItCanFinish) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  const auto args = words("-e p.pac -d system,systemdir");
  const std::string sys = work_ + "/systemdir", away = work_ + "/away";
  auto snapshot = [&] {
    return read_file(work_ + "/p.pac") + read_file(work_ + "/p.pac.journal") +
           std::to_string(list_dir(work_).size()) +
           std::to_string(std::filesystem::exists(away) ? list_dir(away).size() : 9);
  };
  // X cut short after its first checkpoint; then its partition is not there:
  // an empty directory in its place, or none at all.
  const std::string missing = "\r\n file " + sys +
                              "/X must hold the first 4194304 bytes of X, which "
                              "left the package, but it is missing; nothing is changed, run the "
                              "same command again once it is back! \r\n";
  const std::string elsewhere = "\r\ndest directory systemdir not exit! \r\n";
  for (const bool empty_dir : {true, false}) {
    std::filesystem::create_directory(sys);
    run_tool(work_, args, fault_env("kill:/p.pac:<1:truncate"));
    std::filesystem::rename(sys, away);
    if (empty_dir) std::filesystem::create_directory(sys);
    const std::string before = snapshot();
    for (int twice = 0; twice < 2; ++twice) {
      expect("-e p.pac -d system,systemdir", 255, somewhere(empty_dir ? missing : elsewhere),
             work_);
      EXPECT_TRUE(snapshot() == before);
    }
    std::filesystem::remove_all(sys), std::filesystem::rename(away, sys);
    expect_finished(args);
    make_in(work_);
  }
  // After X's first cut: an output at the name the journal gives that this
  // run did not make (another run's, say) is never taken over. A package
  // grown by whole pieces (a downloader appending) passes for a cut not yet
  // made, whose bytes are not X's: those the output synced before the cut
  // make X whole, and the same command finishes.
  run_tool(work_, words("-e p.pac"), fault_env("kill:/p.pac:3:truncate+"));
  for (const auto& f : list_dir(work_)) {
    if (f.rfind(".X.kb", 0) != 0) continue;
    const std::string mine = work_ + "/" + f, bytes = read_file(mine);
    std::filesystem::rename(mine, at("mine"));
    write_file(mine, bytes);
    expect(
        "-e p.pac", 255,
        somewhere(
            "X must hold the first 4194304 bytes of X, which left the package, but it is missing"),
        work_);
    std::filesystem::rename(at("mine"), mine);
  }
  write_file(work_ + "/p.pac", read_file(work_ + "/p.pac") + std::string(2 * 524288, 'j'));
  expect_finished(words("-e p.pac"));
  // Z's cut rolled back by a power cut after the rest of its block was
  // zeroed: whole again by its length, but Z's bytes are in its output.
  make_in(work_);
  const std::string whole = read_file(work_ + "/p.pac");
  run_tool(work_, words("-e p.pac"), fault_env("kill:/p.pac:1:truncate+"));
  const auto z_at = static_cast<std::size_t>(file_size(work_ + "/p.pac"));
  write_file(work_ + "/p.pac",
             whole.substr(0, z_at) + std::string(600, '\0') + whole.substr(z_at + 600));
  expect_finished(words("-e p.pac"));
  // X whole under its name already, its copy in the package damaged since
  // (its cuts rolled back on a flash gone read-only): proven there.
  make_in(work_);
  run_tool(work_, words("-e p.pac"), fault_env("kill:/p.pac:1:truncate+"));
  write_file(work_ + "/X", ms_[0].bytes);
  write_file(work_ + "/p.pac", flipped(read_file(work_ + "/p.pac"), 100));
  expect_finished(words("-e p.pac"));
  make_in(work_);
  // Two runs at once: the first is held still in X's first piece; the
  // second, and a listing, find it at work and touch nothing.
  std::string env;
  for (const auto& e : fault_env("raise:/p.pac:@9499999:19")) env += " '" + e + "'";
  ASSERT_EQ(
      std::system(("cd " + work_ + " && env" + env +
                   " " KESTRELBIND_COMMAND " -e p.pac >/dev/null 2>&1 & echo $! >" + at("pid"))
                      .c_str()),
      0);
  const std::string pid = words(read_file(at("pid"))).at(0);
  for (int i = 0; i < 500 && read_file("/proc/" + pid + "/stat").find(") T ") == std::string::npos;
       ++i)
    usleep(10000);
  const std::string before = snapshot();
  const std::string busy = "\r\n another extract of p.pac is running, try again when it ends! \r\n";
  expect("-e p.pac", 255, busy, work_);
  expect("-l p.pac", 255, busy, work_);
  EXPECT_TRUE(snapshot() == before);
  kill(std::stoi(pid), SIGCONT);
  for (int i = 0; i < 1000 && file_size(work_ + "/p.pac") != 0; ++i) usleep(10000);
  usleep(200000);
  expect_finished({});
  // A journal that can not be written: refused, nothing changed.
  make_in(work_);
  const std::string made = read_file(work_ + "/p.pac");
  auto r = run_tool(work_, {"-e", "p.pac"}, fault_env("write:/p.pac.journal.tmp:1"));
  EXPECT_EQ(r.out, "\r\n can not write to file:p.pac.journal \r\n");
  EXPECT_NE(r.err.find("Input/output error; the journal is not written"), std::string::npos)
      << r.err;
  EXPECT_TRUE(read_file(work_ + "/p.pac") == made);
  EXPECT_EQ(list_dir(work_), names{"p.pac"});
}

TEST_F(Recover, ADamagedMemberGoesBackAndARetryFailsAlike) {
  // A byte of X's last stored piece (its first out), of its first stored
  // piece (its last out), and of Y.
  for (const auto& [pos, k, left] : {std::tuple{9400000, 0, 1}, {100, 0, 1}, {9500100, 1, 2}}) {
    SCOPED_TRACE(pos);
    const std::string out = work_ + "/" + ms_[k].name, pac = work_ + "/p.pac";
    auto flip = [&, pos = pos] { write_file(pac, flipped(read_file(pac), pos)); };
    flip();
    const std::string first = run_tool(work_, {"-e", "p.pac"}).out;
    const std::string tail = first.substr(first.rfind("\r\n file "));
    EXPECT_TRUE(ends_with(tail, " not right! \r\n" + holds(left))) << tail;
    EXPECT_EQ(run_tool(work_, {"-e", "p.pac"}).out, tail);  // the retry fails alike
    auto r = run_tool(work_, {"-e", "p.pac", "-p", "-t", ms_[k].type});
    EXPECT_EQ(r.out + holds(left), tail);  // -p installs it no more than a run in place
    EXPECT_EQ(file_size(out), -1);
    flip();  // the member is back where it was
    expect_finished({"-e", "p.pac"});
    make_in(work_);
  }
}

TEST_F(Recover, AJournalThatIsNotRightIsNeverFollowed) {
  if (fault_env("").empty()) GTEST_SKIP() << no_preload;
  run_tool(work_, {"-e", "p.pac"}, fault_env("kill:/p.pac:2:truncate"));
  const std::string journal = read_file(work_ + "/p.pac.journal");
  const std::string pkg = read_file(work_ + "/p.pac");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = journal;
    text.replace(text.find(from), from.size(), to);
    text.erase(text.rfind("md5 "));  // with a digest that matches the change
    return text + "md5 " + md5_hex(text) + "\n";
  };
  auto output = [&](const std::string& name) {  // slot 2's planned output
    return "output 2 " + std::to_string(work_.size() + name.size()) + "\n" + work_ + name + "\n";
  };
  const std::string damaged = "\r\n journal p.pac.journal is damaged, refusing to follow it! \r\n";
  const std::pair<std::string, std::string> cases[] = {
      {flipped(journal, journal.size() - 100), damaged},
      {journal.substr(0, journal.size() / 2), damaged},
      {journal + "x", damaged},
      {replaced(output("/Z"), output("/../Z")), damaged},
      {replaced(output("/Z"), output("/Q")), damaged},
      {replaced(output("/Z"), output("/Y")), damaged},  // Y's path twice
      {replaced(output("/Z"), output("/./Z")), damaged},
      {journal + std::string(1 << 20, '\n'), "\r\n can not read journal p.pac.journal! \r\n"},
      {replaced("length ", "length 1"), damaged},
      {replaced("length 10225160", "length 10225159"), damaged},
      {replaced("restored -1", "restored 99999999"),
       "\r\n journal p.pac.journal does not match package p.pac, refusing to follow it! \r\n"}};
  expect("-r p.pac -n X", 255,
         "\r\n an extract of p.pac was cut short, run kestrelbind -e p.pac to finish it! \r\n",
         work_);
  for (const auto& [bytes, message] : cases) {
    write_file(work_ + "/p.pac.journal", bytes);
    expect("-e p.pac", 255, message, work_);
    EXPECT_TRUE(read_file(work_ + "/p.pac") == pkg);
    EXPECT_TRUE(read_file(work_ + "/p.pac.journal") == bytes);
  }
  write_file(work_ + "/p.pac.journal", journal);
  expect_finished({"-e", "p.pac"});
  // An output damaged while the run was down is left out, and said so.
  make_in(work_);
  run_tool(work_, {"-e", "p.pac"}, fault_env("kill:/p.pac:2:truncate+"));  // Y out, not named
  for (const auto& f : list_dir(work_))
    if (f.rfind(".Y.kb", 0) == 0)
      write_file(work_ + "/" + f, flipped(read_file(work_ + "/" + f), 9));
  expect("-e p.pac", 255,
         "\r\n resuming the extract of p.pac that was cut short \r\n" +
             line("extract", ms_[2], "successfully") + "\r\n file " + work_ +
             "/Y was damaged when the extract was cut short, it is left out! \r\n" +
             line("extract", ms_[0], "successfully") +
             "\r\n 1 members of p.pac could not be recovered! \r\n",
         work_);
}
