#include "support/helpers.h"

#include <md5.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

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

#ifdef KESTRELBIND_FAULT_LIB
bool can_inject_faults() {
  return true;
}

std::vector<std::string> fault_env(const std::string& fault) {
  const std::string preload = "LD_PRELOAD=" KESTRELBIND_FAULT_LIB;
#ifdef KESTRELBIND_RUNNER
  // Only the emulated program may see it, not the emulator itself.
  const std::string env = "QEMU_SET_ENV=" + preload;
#else
  const std::string& env = preload;
#endif
  // A sanitized binary wants its runtime first; the injector comes first.
  return {env, "KB_FAULT=" + fault, "ASAN_OPTIONS=verify_asan_link_order=0"};
}
#else
bool can_inject_faults() {
  return false;
}

std::vector<std::string> fault_env(const std::string&) {
  return {};
}
#endif

// The command that runs the binary: the emulator first in a cross build.
std::vector<std::string> tool_command() {
  std::vector<std::string> cmd;
#ifdef KESTRELBIND_RUNNER
  std::string runner = KESTRELBIND_RUNNER;
  for (std::size_t at = 0; at <= runner.size();) {
    std::size_t bar = std::min(runner.find('|', at), runner.size());
    cmd.push_back(runner.substr(at, bar - at));
    at = bar + 1;
  }
#endif
  cmd.push_back(KESTRELBIND_EXE);
  return cmd;
}

run_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                    const std::vector<std::string>& env) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  // posix_spawn rather than fork: under qemu-user a forked child of a
  // dynamically linked glibc program can hang before it execs.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());

  std::vector<std::string> command = tool_command();
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The environment, with the given entries in place of any of those names.
  std::vector<std::string> environment = env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry = *e;
    std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& x) {
      return x.compare(0, name.size() + 1, std::string(name) + "=") == 0;
    });
    if (!replaced) environment.emplace_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot run " + command[0]);
  }
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
