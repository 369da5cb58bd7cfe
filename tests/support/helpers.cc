#include "support/helpers.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

namespace kb::test {

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string md5_of(const std::string& bytes) {
  char out[MD5_TEXT_SIZE];
  md5_bytes_hex(bytes, out);
  return out;
}

std::string scramble(std::string bytes) {
  crypt_encode(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
  return bytes;
}

std::string package_bytes(const std::string& plain_data, const pac_index& index) {
  trailer_bytes raw{};
  encode_trailer(index, raw);
  return scramble(plain_data + std::string(raw.begin(), raw.end()));
}

void set_slot(pac_index& index, int i, const std::string& type, const std::string& name,
              const std::string& size, const std::string& offset, const std::string& md5) {
  pac_member& m = index.members[i];
  set_field(m.type, type, "");
  set_field(m.name, name, "");
  set_field(m.version, "1", "");
  set_field(m.size, size, "");
  set_field(m.offset, offset, "");
  set_field(m.md5, md5, "");
}

std::vector<std::string> fault_env(const std::string& fault) {
#ifdef KESTRELBIND_FAULT_LIB
  const std::string preload = "LD_PRELOAD=" KESTRELBIND_FAULT_LIB;
#ifdef KESTRELBIND_RUNNER
  const std::string env = "QEMU_SET_ENV=" + preload;  // for the emulated program only
#else
  const std::string& env = preload;
#endif
  // A sanitized binary wants its runtime first; the injector comes first.
  return {env, "KB_FAULT=" + fault, "ASAN_OPTIONS=verify_asan_link_order=0"};
#else
  (void)fault;
  return {};
#endif
}

run_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                    const std::vector<std::string>& env, const char* stdout_to) {
  auto quoted = [](const std::string& s) {  // any bytes, in the shell's single quotes
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  std::string out = (std::filesystem::temp_directory_path() / "kbrun.XXXXXX").string();
  std::string err = out;
  close(mkstemp(out.data()));
  close(mkstemp(err.data()));
  std::string command = "cd " + quoted(dir) + " && exec env";
  for (const auto& e : env) command += " " + quoted(e);
#ifdef KESTRELBIND_RUNNER
  command += " " + std::regex_replace(KESTRELBIND_RUNNER, std::regex("\\|"), " ");  // an emulator
#endif
  command += " " + quoted(KESTRELBIND_EXE);
  for (const auto& a : args) command += " " + quoted(a);
  command += " >" + quoted(stdout_to ? stdout_to : out) + " 2>" + quoted(err);
  int status = std::system(command.c_str());
  run_result r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out),
               read_file(err)};
  unlink(out.c_str());
  unlink(err.c_str());
  return r;
}

pac_test::pac_test() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kbtest.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  std::filesystem::create_directory(at("in"));
}

pac_test::~pac_test() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void pac_test::make(const std::vector<member_file>& members, const std::string& pac) {
  std::vector<std::string> args = {"-m", pac};
  for (const auto& m : members) {
    write_file(at("in/" + m.name), m.bytes);
    args.insert(args.end(), {"-a", m.type + "," + at("in/" + m.name) + ",1"});
  }
  auto r = run(args);
  ASSERT_EQ(r.status, 0) << r.out;
}

run_result pac_test::expect(const std::string& dir, const std::vector<std::string>& args,
                            int status, const std::string& out,
                            const std::vector<std::string>& env) {
  run_result r = run_tool(dir, args, env);
  const std::string what = args.empty() ? "" : args[0] + " " + args.back();
  EXPECT_EQ(r.status, status) << what << r.out;
  if (out.rfind("...", 0) == 0) {
    EXPECT_NE(r.out.find(out.substr(3)), std::string::npos) << what << r.out;
  } else {
    EXPECT_EQ(r.out, out) << what;
  }
  return r;
}

std::vector<member_file> pac_test::example() {
  return {{"system", "M1", random_bytes(100, 1)},
          {"modem", "M2", random_bytes(600000, 2)},
          {"idu", "M3", random_bytes(100, 3)}};
}

std::string pac_test::extracted(const member_file& m) {
  return "\r\n extract file " + m.name + " size:" + std::to_string(m.bytes.size()) +
         " md5:" + md5_of(m.bytes) + ",version:1 successfully! \r\n";
}

}  // namespace kb::test
