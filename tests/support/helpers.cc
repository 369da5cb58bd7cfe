#include "support/helpers.h"

#include <md5.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kb::test {

scratch_dir::scratch_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kbtest.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

scratch_dir::~scratch_dir() {
  std::error_code ec;
  // Tests may take write permission away; give it back so that removal works.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

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
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> fault_env(const std::string& fault) {
  // A sanitized binary wants its runtime first; the injector comes first.
  return {"LD_PRELOAD=" KESTRELBIND_FAULT_LIB, "KB_FAULT=" + fault,
          "ASAN_OPTIONS=verify_asan_link_order=0"};
}

run_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                    const std::vector<std::string>& env) {
  std::vector<std::string> env_copy = env;  // putenv keeps the pointers
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    if (chdir(dir.c_str()) != 0) _exit(127);
    for (auto& e : env_copy) putenv(e.data());
    std::vector<char*> argv;
    std::string exe = KESTRELBIND_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out};
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
              const std::string& version, const std::string& size, const std::string& offset,
              const std::string& md5) {
  pac_member& m = index.members[i];
  set_field(m.type, type, "type");
  set_field(m.name, name, "name");
  set_field(m.version, version, "version");
  set_field(m.size, size, "size");
  set_field(m.offset, offset, "offset");
  set_field(m.md5, md5, "md5");
}

std::string md5_of(const std::string& bytes) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char d[16];
  MD5Final(d, &ctx);
  char out[MD5_TEXT_SIZE];
  md5_digest_hex(d, out);
  return out;
}

}  // namespace kb::test
