// What the tests share: files, packages built by hand, running the built
// binary, and the one fixture, a scratch directory per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pac/codec.h"
#include "pac/digest.h"
#include "pac/trailer.h"

namespace kb::test {

inline std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

inline void write_file(const std::string& path, const std::string& bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes)) throw std::runtime_error(path);
}

inline std::string read_file(const std::string& path) {  // empty when missing
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

inline long long file_size(const std::string& path) {  // -1 when missing
  std::error_code ec;
  return static_cast<long long>(std::filesystem::file_size(path, ec));
}

inline std::set<std::string> list_dir(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
  return names;
}
using names = std::set<std::string>;

inline std::vector<std::string> words(const std::string& line) {  // split at spaces
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

inline std::string flipped(std::string bytes, std::size_t at) {  // one bit of a byte
  return bytes[at] ^= 1, bytes;
}

inline std::string scramble(std::string bytes) {
  crypt_encode(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
  return bytes;
}

// The index of slots given as "count|name,size,offset|...", type t and
// version 1 each, every digest that of the data the slot points at (none
// when that is not inside the data).
inline stored_trailer index_of(const std::string& slots, const std::string& data) {
  stored_trailer index;
  std::istringstream in(slots);
  std::string slot;
  std::getline(in, slot, '|'), set_field(index.count, slot, "");
  for (stored_slot* m = index.slots.data(); std::getline(in, slot, '|'); ++m) {
    char name[256] = "", size[32] = "", offset[32] = "";
    std::sscanf(slot.c_str(), "%255[^,],%31[^,],%31[^|]", name, size, offset);
    set_field(m->name, name, ""), set_field(m->size, size, ""), set_field(m->offset, offset, "");
    set_field(m->type, "t", ""), set_field(m->version, "1", "");
    const long long n = std::strtoll(size, nullptr, 10), from = std::strtoll(offset, nullptr, 10);
    if (n >= 0 && from >= 0 && from + n <= static_cast<long long>(data.size()))
      set_field(m->md5, md5_hex(data.substr(from, n)), "");
  }
  return index;
}

// The bytes of a package: data followed by the trailer of index, scrambled.
inline std::string package_bytes(const std::string& data, const stored_trailer& index) {
  trailer_bytes raw{};
  encode_trailer(index, raw);
  return scramble(data + std::string(raw.begin(), raw.end()));
}

struct run_result {
  int status;
  std::string out, err;
};

// Runs the built kestrelbind in dir with extra environment entries
// ("NAME=value"); closed: with fds 0, 1 and 2 closed, as a daemon may
// start it (nothing is then captured).
inline run_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}, bool closed = false) {
  auto quoted = [](const std::string& s) {  // any bytes, in the shell's single quotes
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  std::string out = (std::filesystem::temp_directory_path() / "kbrun.XXXXXX").string();
  close(mkstemp(out.data()));
  const std::string err = out + ".err";
  std::string command = "cd " + quoted(dir) + " && exec env";
  for (const auto& e : env) command += " " + quoted(e);
  command += " " KESTRELBIND_COMMAND;  // the binary, through an emulator in a cross build
  for (const auto& a : args) command += " " + quoted(a);
  command += " >" + quoted(out) + " 2>" + quoted(err) + (closed ? " <&- >&- 2>&-" : "");
  const int status = std::system(command.c_str());
  run_result r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out),
               read_file(err)};
  unlink(out.c_str()), unlink(err.c_str());
  return r;
}

// The environment that preloads the fault injector (fault_inject.cc) with
// the given KB_FAULT value; empty when the binary cannot preload (static).
// A sanitized binary wants its runtime first; the injector comes first.
inline std::vector<std::string> fault_env(const std::string& fault) {
#ifdef KESTRELBIND_FAULT_ENV
  return {KESTRELBIND_FAULT_ENV, "KB_FAULT=" + fault, "ASAN_OPTIONS=verify_asan_link_order=0"};
#else
  return (void)fault, std::vector<std::string>{};
#endif
}
inline const char* const no_preload = "a static binary cannot preload the fault injector";

// What a run's stdout must be: all of it, as written, or (somewhere) a
// part of it; status_only takes any stdout.
struct stdout_is {
  stdout_is(std::string all, bool part = false) : text(std::move(all)), part(part) {}
  stdout_is(const char* all) : text(all) {}
  std::string text;
  bool part = false;
};
inline stdout_is somewhere(std::string part) {
  return {std::move(part), true};
}
inline const stdout_is status_only = somewhere("");

// Bytes as a C literal would spell them, so that a one-byte difference in
// a failure report can be seen: "\r", "\n" and "\xNN" for the others.
inline std::string visible(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    char hex[5];
    std::snprintf(hex, sizeof hex, c < 32 || c > 126 || c == '"' ? "\\x%02x" : "%c", c);
    out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : hex;
  }
  return out + "\"";
}

struct member_file {
  std::string type, name, bytes;
};

// The one fixture: a scratch directory (removed afterwards) in which the
// tool runs, and packages made there from member files.
class pac_test : public ::testing::Test {
 protected:
  pac_test() : dir_(std::filesystem::temp_directory_path() / "kbtest.XXXXXX") {
    if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::filesystem::create_directory(at("in"));
  }
  ~pac_test() override { std::filesystem::remove_all(dir_, ec_); }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }

  // Runs the tool with args (split at spaces) in dir, or the scratch
  // directory, and expects its status and stdout (see stdout_is).
  run_result expect(const std::string& args, int status, const stdout_is& out,
                    const std::string& dir = "", const std::vector<std::string>& env = {}) {
    run_result r = run_tool(dir.empty() ? dir_ : dir, words(args), env);
    const bool found = out.part ? r.out.find(out.text) != std::string::npos : r.out == out.text;
    EXPECT_TRUE(r.status == status && found)
        << args << "\nwanted status " << status << ", stdout " << (out.part ? "holding " : "")
        << visible(out.text) << "\n   got status " << r.status << ", stdout " << visible(r.out);
    return r;
  }

  // Makes pac (version "1" each) of members written to in/ first.
  void make(const std::vector<member_file>& members, const std::string& pac = "p.pac") {
    std::vector<std::string> args = {"-m", pac};
    for (const auto& m : members) {
      write_file(at("in/" + m.name), m.bytes);
      args.insert(args.end(), {"-a", m.type + "," + at("in/" + m.name) + ",1"});
    }
    ASSERT_EQ(run_tool(dir_, args).status, 0);
  }

  // Members M1 (100 bytes), M2 (600000) and M3 (100), types system, modem, idu.
  const std::vector<member_file> ms = {{"system", "M1", random_bytes(100, 1)},
                                       {"modem", "M2", random_bytes(600000, 2)},
                                       {"idu", "M3", random_bytes(100, 3)}};

  // The line make, extract (what = "extract", "successfully") or check
  // ("check", "good") prints of a member.
  static std::string line(const char* what, const member_file& m, const char* end) {
    return std::string("\r\n ") + what + " file " + m.name +
           " size:" + std::to_string(m.bytes.size()) + " md5:" + md5_hex(m.bytes) + ",version:1 " +
           end + "! \r\n";
  }

  std::string dir_;
  std::error_code ec_;
};

}  // namespace kb::test
