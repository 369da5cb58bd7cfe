// Make, extract, read and check as a user runs them, byte for byte.
#include <signal.h>
#include <sys/stat.h>

#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

using Ops = pac_test;

// A member's bytes as the package stores them: cut into 524288-byte pieces
// from its start, the pieces in reverse order.
static std::string stored_order(const std::string& plain) {
  std::string out;
  for (std::size_t at = 0; at < plain.size(); at += 524288) out.insert(0, plain.substr(at, 524288));
  return out;
}

TEST_F(Ops, MakeStoresLargestFirstInStoredOrder) {
  for (const auto& m : ms) write_file(at(m.name), m.bytes);
  auto made = [&](const member_file& m, const std::string& version, const char* offset) {
    return "\r\n write file type:" + m.type + ",name:" + m.name + ",version:" + version +
           ",size:" + std::to_string(m.bytes.size()) + ",offset:" + offset +
           ",md5:" + md5_hex(m.bytes) + " \r\n";
  };
  expect("-m fw.pac -f 7 -a system,M1,1 -a modem,M2,1.2,beta -a idu,M3,3", 0,
         made(ms[1], "1.2,beta", "0") + made(ms[0], "1", "600000") + made(ms[2], "3", "600100"));
  const std::string pkg = read_file(at("fw.pac"));
  EXPECT_EQ(pkg.size(), 624360u);
  EXPECT_TRUE(pkg.substr(0, 600200) ==
              scramble(stored_order(ms[1].bytes) + ms[0].bytes + ms[2].bytes));
  std::string t = pkg.substr(600200);  // the trailer: NUL-filled text at fixed offsets
  crypt_decode(reinterpret_cast<unsigned char*>(t.data()), t.size());
  std::string fields;  // each up to its NUL
  for (int at : {0, 512, 544, 608, 640, 672, 736, 24032, 24064, 24096})
    fields += t.c_str() + at + std::string("|");
  EXPECT_EQ(fields, "3|modem|1.2,beta|600000|0|" + md5_hex(ms[1].bytes) + "|M2|1.0|24160|7|");
  expect("-m e.pac", 0, "");  // no members: a bare trailer with an empty count
  EXPECT_EQ(read_file(at("e.pac")).substr(0, 32), std::string(32, '\0'));
  expect("-l e.pac", 0, "\r\ntype:meta,version:1.0,feature:\r\n");
  expect("-c e.pac", 0, "");  // nothing in it, nothing damaged

  // Piece boundaries: largest first, equal sizes in slot order, empty last;
  // stored by base name; and every member back as it was.
  std::vector<member_file> more;
  for (std::size_t size : {0, 1, 524288, 524289, 1300000, 1000, 1000})
    more.push_back({"t", "m" + std::to_string(more.size()), random_bytes(size, 9)});
  make(more);
  std::string data;
  for (std::size_t i : {4, 3, 2, 5, 6, 1, 0}) data += stored_order(more[i].bytes);
  EXPECT_TRUE(read_file(at("p.pac")).substr(0, data.size()) == scramble(data));
  expect("-l p.pac", 0,
         somewhere("\r\ntype:t,name:m0,version:1,size:0,offset:" + std::to_string(data.size()) +
                   ",md5:d41d8cd98f00b204e9800998ecf8427e\r\n"));
  expect("-e p.pac", 0, somewhere("successfully"));
  for (const auto& m : more) EXPECT_TRUE(read_file(at(m.name)) == m.bytes) << m.name;
  EXPECT_EQ(file_size(at("p.pac")), 0);
  make({{"t", "empty", ""}});  // no piece taken, no cut
  const std::string empty = read_file(at("p.pac"));
  expect("-e p.pac", 0, status_only);
  EXPECT_TRUE(read_file(at("p.pac")) == empty);
}

TEST_F(Ops, FailedMakesLeaveTheDestinationAsItWas) {
  write_file(at("a.bin"), "member");
  write_file(at("fw.pac"), "the old package");
  std::filesystem::create_directory(at("adir"));
  mkfifo(at("fifo").c_str(), 0600);  // opened, it would hang a make that waits for a writer
  // Sparse: the limits are found before any digest.
  for (auto [name, size] : {std::pair{"max", (1LL << 31) - 1}, {"half", 1100000000LL}})
    write_file(at(name), ""), std::filesystem::resize_file(at(name), size);
  const std::string t32(32, 't'), v64(64, 'v');
  const std::string too_big = " does not fit: a package holds less than 2 GiB of members! \r\n";
  const names all = {"a.bin", "adir", "fifo", "fw.pac", "half", "in", "max"};
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"-a " + t32 + ",a.bin,1", "\r\n file type too long (at most 31 bytes): " + t32 + " \r\n",
       ""},
      {"-a t,a.bin," + v64, "\r\n file version too long (at most 63 bytes): " + v64 + " \r\n", ""},
      {"-a t,max,1", "\r\n file max" + too_big, ""},  // fits alone, not with the trailer
      {"-a t,half,1 -a t,half,2", "\r\n file half" + too_big, ""},  // with the trailer
      {"-a t,fifo,1", "\r\n file fifo is not a regular file! \r\n", ""},
      {"-a ok,in/../a.bin,2",
       "\r\n two members of type ok are named a.bin, a package can hold only one! \r\n", ""},
      {"-a t,a\x01.bin,1", "\r\n file name a?.bin holds control bytes! \r\n", ""},
      {"-f 4\x1b[2J", "\r\n file feature 4?[2J holds control bytes! \r\n", ""},
      {"-m adir", "\r\n can not write file to :adir! \r\n", "adir: Is a directory"},
      {"-m adir/", "\r\n can not write file to :adir/! \r\n", "adir/: Is a directory"},
      {"-m no/such/dir/x.pac", "\r\n can not write file to :no/such/dir/x.pac! \r\n",
       "no/such/dir/x.pac: No such file or directory"}};
  for (const auto& [extra, message, reason] : cases) {
    auto r = expect("-m fw.pac -a ok,a.bin,1 " + extra, 255, somewhere(message));
    EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);  // the last word
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;        // which file and why
    EXPECT_EQ(read_file(at("fw.pac")), "the old package") << extra;
    EXPECT_EQ(list_dir(dir_), all);
  }
  if (!fault_env("").empty()) {  // a.bin's reads: its digest, then its copy
    write_file(at("in/big"), random_bytes(700000, 1));
    expect("-m fw.pac -a t,in/big,1 -a ok,a.bin,1", 128 + SIGTERM,
           somewhere("\r\n make of fw.pac was interrupted! \r\n"), "",
           fault_env("raise:/a.bin:2:" + std::to_string(SIGTERM)));
    EXPECT_EQ(read_file(at("fw.pac")), "the old package");
  }
  // A package made from itself; the replaced package keeps its permission
  // bits, not its setuid, setgid or sticky bit.
  std::filesystem::permissions(at("fw.pac"), std::filesystem::perms(07640));
  expect("-m fw.pac -a t,a.bin,1 -a old,fw.pac,0", 0,
         somewhere(",name:fw.pac,version:0,size:15,offset:0,md5:" + md5_hex("the old package") +
                   " \r\n"));
  EXPECT_EQ(std::filesystem::status(at("fw.pac")).permissions(), std::filesystem::perms(0640));
  EXPECT_EQ(list_dir(dir_), all);
}

TEST_F(Ops, UnsafeNamesAndTwoMembersForOnePathAreRefused) {
  std::filesystem::create_directory(at("w"));
  using args = std::vector<std::string>;
  for (const std::string& name :
       args{"../evil", "a/b", "..", ".", "p.pac", at("abs"), "fine", "new\nline", "del\x7f"}) {
    const std::string pkg =
        package_bytes("abcdef", index_of("2|fine,3,0|" + name + ",3,3", "abcdef"));
    const std::string why =
        name == "p.pac"
            ? "\r\n file p.pac is the package p.pac itself, refusing to overwrite it! \r\n"
        : name == "fine" ? "would be written to fine,"
        : name.find_first_of("\n\x7f") != name.npos
            ? "control bytes"
            : "\r\n file name " + name +
                  " is not allowed: a member name must be a plain file name! \r\n";
    // Check reports what every extract refuses, whatever the mappings.
    for (const args& run :
         {args{"-e", "p.pac"}, args{"-r", "p.pac", "-n", name}, args{"-c", "p.pac"}}) {
      if (name == "fine" && run[0] == "-r") continue;   // read writes one member only
      if (name == "p.pac" && run[0] == "-c") continue;  // only where it is extracted
      write_file(at("w/p.pac"), pkg);
      auto r = run_tool(at("w"), run);
      EXPECT_EQ(r.status, 255);
      EXPECT_NE(r.out.find(why), std::string::npos) << name << r.out;
      EXPECT_TRUE(read_file(at("w/p.pac")) == pkg) << name;
      EXPECT_EQ(list_dir(at("w")), names{"p.pac"});
      EXPECT_EQ(list_dir(dir_), (names{"in", "w"}));
    }
  }
  write_file(at("w/p.pac"), package_bytes("abcdef", index_of("2|fine,3,0|fine,3,3", "abcdef")));
  expect("-c p.pac", 255,
         "\r\n check file fine size:3 md5:" + md5_hex("abc") +
             ",version:1 good! \r\n\r\n check file fine size:3 md5:" + md5_hex("def") +
             ",version:1 good! \r\n\r\n two members of type t would be written to fine, no "
             "extract takes them! \r\n\r\n package p.pac has 1 members that no extract "
             "takes! \r\n",
         at("w"));
  // The same name under two types that mappings keep apart is fine.
  std::filesystem::create_directory(at("b"));
  write_file(at("b/app.bin"), "second");
  write_file(at("app.bin"), "first");
  expect("-m p.pac -a system,app.bin,1 -a modem,b/app.bin,2", 0, status_only);
  expect("-e p.pac -p -d modem,b -d system,b", 255,
         somewhere("\r\n two members would be written to " + at("b/app.bin") +
                   ", it can not be extracted! \r\n"));
  expect("-e p.pac -d modem,b", 0, status_only);
  EXPECT_EQ(read_file(at("app.bin")) + read_file(at("b/app.bin")), "firstsecond");
}

TEST_F(Ops, CheckNamesEveryDamagedMember) {
  make(ms);
  std::string pkg = read_file(at("p.pac"));
  auto good = [&](int i) { return line("check", ms[i], "good"); };
  expect("-c p.pac -n M1 -t system", 0, good(0));
  expect("-c p.pac -n M1 -t idu", 255, "\r\n File not exsit!\r\n");
  if (!fault_env("").empty())  // the trailer's read, then M3's, which fails
    expect("-c p.pac -t idu", 255,
           "\r\n check file M3 can not be read! \r\n\r\n package p.pac has 1 damaged members! \r\n",
           "", fault_env("read:/p.pac:2"));
  // A damaged byte in M2's first stored piece, and one in M3.
  write_file(at("p.pac"), flipped(flipped(pkg, 80000), 600150));
  expect("-c p.pac", 255,
         good(0) + "\r\n check file M2 checksum " + md5_hex(flipped(ms[1].bytes, 80000 - 75712)) +
             " not right! \r\n\r\n check file M3 checksum " + md5_hex(flipped(ms[2].bytes, 50)) +
             " not right! \r\n\r\n package p.pac has 2 damaged members! \r\n");
  // A member placed before the package's start is refused by the loader.
  write_file(at("p.pac"), package_bytes("0123456789", index_of("1|far,10,-2147483648", "")));
  expect("-c p.pac", 255, "\r\n file is not right! \r\n");
}

// Read by name, by type (the lower slot wins), by both or not at all.
TEST_F(Ops, ReadTakesOneMemberByNameOrType) {
  const std::string big = random_bytes(1300000, 1);
  make({{"system", "sys.img", big}, {"config", "a.cfg", "first"}, {"config", "b.cfg", "2nd"}});
  const std::string pkg = read_file(at("p.pac"));
  expect("-r p.pac -n sys.img", 0, "");
  EXPECT_TRUE(read_file(at("sys.img")) == big);
  write_file(at("a.cfg"), "an older file of that name");
  expect("-r p.pac -t config", 0, "");  // two of that type: the lower slot wins
  EXPECT_EQ(read_file(at("a.cfg")), "first");
  EXPECT_EQ(file_size(at("b.cfg")), -1);
  expect("-r p.pac -n b.cfg -t config -d config,in -p", 0, "\r\n field = in \r\n");
  EXPECT_EQ(read_file(at("b.cfg")), "2nd");  // -d plays no part
  EXPECT_TRUE(read_file(at("p.pac")) == pkg);
  // Nothing else: check wrote nothing, read one member at a time.
  EXPECT_EQ(list_dir(dir_), (names{"a.cfg", "b.cfg", "in", "p.pac", "sys.img"}));
  std::filesystem::create_directory(at("sys"));
  // -o: a new name, a file replaced, stdout (the member alone, messages on
  // stderr).
  expect("-r p.pac -n sys.img -o sys/new.img", 0, "");
  expect("-r p.pac -n sys.img -o p.pac", 255,
         "\r\n file p.pac is the package p.pac itself, refusing to overwrite it! \r\n");
  expect("-r p.pac -t config -o a.cfg", 0, "");
  EXPECT_TRUE(read_file(at("sys/new.img")) == big && read_file(at("a.cfg")) == "first");
  auto r = run_tool(dir_, words("-r p.pac -n sys.img -d system,sys -o -"));
  EXPECT_TRUE(r.status == 0 && r.out == big);
  EXPECT_EQ(r.err, "\r\n field = sys \r\n");
  r = run_tool(dir_, words("-r p.pac -n nothing -o -"));
  EXPECT_TRUE(r.status == 255 && r.out.empty() && r.err == "\r\n File not exsit!\r\n");
}

// -o to a partition: written in place and read back from the medium.
TEST_F(Ops, ReadWritesAPartitionInPlaceAndReadsItBack) {
  std::string loops[2];
  const std::string mnt = at("mnt");
  struct detach {  // the loop devices go, however the test ends
    const std::string& mnt;
    std::string* l;
    ~detach() {
      std::system(("umount " + mnt + " 2>/dev/null").c_str());
      for (int k : {0, 1})
        if (!l[k].empty()) std::system(("losetup -d " + l[k]).c_str());
    }
  } detached{mnt, loops};
  for (int k : {0, 1}) {  // 2 MiB holds sys.img, 1 MiB does not
    const std::string img = at("dev" + std::to_string(k));
    write_file(img, std::string(std::size_t{1} << (21 - k), 'z'));
    const std::string sh = "losetup -f --show " + img + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(sh.c_str(), "r"), pclose);
    char dev[64] = "";
    if (!p || !fgets(dev, sizeof dev, p.get())) GTEST_SKIP() << "no loop device can be set up";
    loops[k] = words(dev).at(0);
  }
  const std::string big = random_bytes(1300000, 1);
  make({{"system", "sys.img", big}});
  chmod(dir_.c_str(), 0755);  // a link where only root may write leads to the partition
  std::filesystem::create_symlink(loops[0], at("part"));
  expect("-r p.pac -n sys.img -o part", 0, "");
  EXPECT_TRUE(std::filesystem::is_symlink(at("part")));
  // A write the medium lost after the sync (the image changed behind the
  // device's cache) fails the read-back, which reads the medium.
  if (!fault_env("").empty())
    expect("-r p.pac -n sys.img -o " + loops[0], 255, somewhere(" checksum "), "",
           fault_env("run@fsync+:" + loops[0] + ":1:dd if=/dev/zero of=" + at("dev0") +
                     " bs=4096 count=1 conv=notrunc status=none"));
  expect("-r p.pac -n sys.img -o /dev/null", 255,
         somewhere("\r\n file /dev/null checksum "));  // read back: nothing
  // Too small, or mounted: refused before a byte is written.
  expect("-r p.pac -n sys.img -o " + loops[1], 255,
         "\r\n device " + loops[1] +
             " holds 1048576 bytes, too few for the 1300000 bytes of sys.img, nothing is "
             "written! \r\n");
  EXPECT_EQ(read_file(at("dev1")), std::string(1 << 20, 'z'));
  EXPECT_EQ(file_size(at("dev0")), 1 << 21);  // never truncated
  std::filesystem::create_directory(mnt);
  const std::string fs = "mkfs.ext4 -q -F " + loops[0] + " && mount " + loops[0] + " " + mnt;
  if (std::system((fs + " 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "mounting is refused here";
  expect("-r p.pac -n sys.img -o " + loops[0], 255,
         "\r\n device " + loops[0] + " is mounted or in use, refusing to write to it! \r\n");
  EXPECT_EQ(read_file(at("dev0")).find(big.substr(0, 4096)), std::string::npos);
  EXPECT_EQ(std::system(("umount " + mnt).c_str()), 0);
  expect("-r p.pac -n sys.img -o " + loops[0], 0, "");
  EXPECT_TRUE(read_file(at("dev0")).substr(0, big.size()) == big);
}
