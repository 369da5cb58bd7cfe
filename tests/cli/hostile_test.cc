// Hand-made hostile packages: every field of the trailer is outside input.
// Each package is listed, read and extracted (preserved and in place); every
// run must end in exit status 0 or 255 (a crash or a sanitizer report gives
// another), and nothing may appear outside the working directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "support/helpers.h"

namespace kb {
namespace {

using test::run_tool;
using test::set_slot;

struct hostile {
  const char* what;
  std::string bytes;
  int list_status;
  std::string list_message;  // the exact -l output when a failure, else empty
};

std::string package(const std::string& data, const std::function<void(pac_index&)>& fill) {
  pac_index index;
  fill(index);
  return test::package_bytes(data, index);
}

// A well-formed slot of the 300-byte data region "x...x".
void good_slot(pac_index& index, int i, const std::string& name, long size, long offset) {
  set_slot(index, i, "t", name, "1", std::to_string(size), std::to_string(offset),
           test::md5_of(std::string(static_cast<std::size_t>(size), 'x')));
}

std::vector<hostile> corpus() {
  const std::string data(300, 'x');
  const std::string not_right = "\r\n file is not right! \r\n";
  const std::string size_not_right = "\r\n file size is not right! \r\n";
  std::vector<hostile> c;
  auto add = [&](const char* what, const std::function<void(pac_index&)>& fill, int status,
                 const std::string& message = "") {
    c.push_back({what, package(data, fill), status, message});
  };
  auto two = [](pac_index& x) {
    set_field(x.count, "2", "");
    good_slot(x, 0, "a", 100, 0);
    good_slot(x, 1, "b", 200, 100);
  };

  add(
      "count 0", [&](pac_index& x) { two(x), set_field(x.count, "0", ""); }, 0);
  add(
      "count -1", [&](pac_index& x) { two(x), set_field(x.count, "-1", ""); }, 0);
  add(
      "count 51", [&](pac_index& x) { two(x), set_field(x.count, "51", ""); }, 255,
      "\r\n file count 51 is more than 50! \r\n");
  add(
      "count huge", [&](pac_index& x) { two(x), set_field(x.count, std::string(31, '9'), ""); },
      255, "\r\n file count " + std::string(31, '9') + " is more than 50! \r\n");
  c.push_back({"count 50",
               package(std::string(50, 'x'),
                       [](pac_index& x) {
                         set_field(x.count, "50", "");
                         for (int i = 0; i < 50; ++i)
                           good_slot(x, i, "m" + std::to_string(i), 1, i);
                       }),
               0, ""});
  add(
      "names that leave the directory",
      [&](pac_index& x) {
        two(x);
        set_field(x.members[0].name, "../../evil", "");
        set_field(x.members[1].name, "/tmp/evil", "");
      },
      0);
  add(
      "name is the package",
      [&](pac_index& x) { two(x), set_field(x.members[1].name, "p.pac", ""); }, 0);
  add(
      "negative size",
      [&](pac_index& x) {
        set_field(x.count, "3", "");
        good_slot(x, 0, "a", 300, 0);
        set_slot(x, 1, "t", "neg", "1", "-100", "0", "");
        good_slot(x, 2, "c", 100, 200);
      },
      0);
  add(
      "negative offset",
      [&](pac_index& x) {
        set_field(x.count, "2", "");
        good_slot(x, 0, "a", 100, -2147483647 - 1);
        good_slot(x, 1, "b", 200, 0);
      },
      0);
  add(
      "size INT_MIN",
      [&](pac_index& x) { two(x), set_field(x.members[1].size, "-2147483648", ""); }, 255,
      size_not_right);
  add(
      "size INT_MAX", [&](pac_index& x) { two(x), set_field(x.members[1].size, "2147483647", ""); },
      255, not_right);
  add(
      "offset INT_MAX",
      [&](pac_index& x) { two(x), set_field(x.members[1].offset, "2147483647", ""); }, 255,
      not_right);
  add(
      "offset past 32 bits",
      [&](pac_index& x) { two(x), set_field(x.members[1].offset, "4294967396", ""); }, 255,
      not_right);
  add(
      "blanks, signs and trailing garbage",
      [&](pac_index& x) {
        two(x);
        set_field(x.members[1].size, " \t+200junk", "");
        set_field(x.members[1].offset, "  100 7", "");
      },
      0);
  add(
      "fields without a terminator",
      [&](pac_index& x) {
        two(x);
        pac_member& m = x.members[1];
        m.type.fill('T');
        m.version.fill('V');
        m.md5.fill('M');
        m.name.fill('N');
        x.feature.fill('F');
        x.meta_version.fill('Z');
      },
      0);
  add(
      "overlapping members",
      [&](pac_index& x) {
        set_field(x.count, "2", "");
        good_slot(x, 0, "a", 200, 0);
        good_slot(x, 1, "b", 100, 100);
      },
      0);
  add(
      "member over the trailer", [&](pac_index& x) { two(x), good_slot(x, 1, "b", 200, 101); }, 255,
      not_right);
  c.push_back({"all 0xFF trailer", std::string(24160, '\xff'), 0, ""});
  c.push_back({"0xFF trailer after data", std::string(24460, '\xff'), 255, size_not_right});
  c.push_back({"exactly a zero trailer", std::string(24160, '\0'), 0, ""});
  c.push_back(
      {"one byte short", std::string(24159, '\0'), 255, "\r\n p.pac is not a pac file! \r\n"});
  return c;
}

TEST(Hostile, EveryOperationEndsCleanly) {
  for (const hostile& h : corpus()) {
    SCOPED_TRACE(h.what);
    test::scratch_dir dir;
    const std::string work = dir / "work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((work + "/out").c_str(), 0755), 0);
    test::write_file(work + "/p.pac", h.bytes);

    auto r = run_tool(work, {"-l", "p.pac"});
    EXPECT_EQ(r.status, h.list_status) << r.out;
    if (!h.list_message.empty()) {
      EXPECT_EQ(r.out, h.list_message);
    }

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-r", "p.pac", "-t", "t"},
             {"-r", "p.pac", "-n", "b"},
             {"-e", "p.pac", "-p"},
             {"-e", "p.pac", "-d", "t,out"},
             {"-e", "p.pac"},
         }) {
      test::write_file(work + "/p.pac", h.bytes);
      r = run_tool(work, args);
      EXPECT_TRUE(r.status == 0 || r.status == 255) << args[0] << " " << r.status << r.out;
      if (h.list_status == 255) {  // refused at load, after any -d field line
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), h.list_message.size())),
                  h.list_message)
            << args[0];
      }
    }
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"work"});
    EXPECT_FALSE(test::exists("/tmp/evil"));
  }
}

TEST(Hostile, OverlappingMembersAreNotExtractedInPlace) {
  test::scratch_dir dir;
  const std::string pkg = package(std::string(300, 'x'), [](pac_index& x) {
    set_field(x.count, "2", "");
    good_slot(x, 0, "a", 200, 0);
    good_slot(x, 1, "b", 100, 100);
  });
  test::write_file(dir / "p.pac", pkg);
  auto r = run_tool(dir.path(), {"-e", "p.pac"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "\r\n members of p.pac overlap, it can not be extracted in place! \r\n");
  EXPECT_TRUE(test::read_file(dir / "p.pac") == pkg);
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"p.pac"});

  r = run_tool(dir.path(), {"-e", "p.pac", "-p"});  // reading both is harmless
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test::read_file(dir / "a"), std::string(200, 'x'));
  EXPECT_EQ(test::read_file(dir / "b"), std::string(100, 'x'));
}

}  // namespace
}  // namespace kb
