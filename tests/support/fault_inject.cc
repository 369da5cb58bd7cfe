// Preloaded into kestrelbind by the tests to make one call fail, or to act,
// at a chosen moment. Configured by KB_FAULT, faults separated by ";":
//
//   <what>:<file suffix>:<n>[:<argument>]
//
//   read     the n-th fread from a file whose path ends in the suffix
//            delivers nothing
//   write    the n-th fwrite to such a file writes nothing (errno EIO)
//   raise    the n-th fread from such a file first raises signal <argument>
//   rmdir    the n-th fread from such a file first removes directory
//            <argument>
//   kill     the n-th call <argument> (fread, truncate, fsync, unlink) on
//            such a file never happens: the process is killed first
//   cut      as kill, but a moment later, after the file's filesystem has
//            committed its log and then shut down without flushing it again,
//            as a power cut would leave it
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef FS_IOC_SHUTDOWN
#define FS_IOC_SHUTDOWN _IOR('X', 125, unsigned)
#endif

namespace {

struct fault {
  std::string what, suffix, argument;
  long n = 0, seen = 0;
};

std::vector<fault>& faults() {
  static auto* all = [] {
    auto* v = new std::vector<fault>;
    const char* env = std::getenv("KB_FAULT");
    for (const char* at = env; at != nullptr && *at != '\0';) {
      char what[16], suffix[256], argument[256] = "";
      fault f;
      if (std::sscanf(at, "%15[^:]:%255[^:]:%ld:%255[^;]", what, suffix, &f.n, argument) < 3) break;
      f.what = what, f.suffix = suffix, f.argument = argument;
      v->push_back(f);
      at = std::strchr(at, ';');
      at = at == nullptr ? nullptr : at + 1;
    }
    return v;
  }();
  return *all;
}

std::string path_of_fd(int fd) {
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "";
}

bool ends_with(const std::string& p, const std::string& suffix) {
  return p.size() >= suffix.size() &&
         p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Lets the filesystem commit what it holds (the tests mount with commit=1),
// then stops it: what was only in memory is lost, as in a power cut.
void power_cut(const std::string& path) {
  usleep(1500000);
  int fd = open(path.substr(0, path.rfind('/') + 1).c_str(), O_RDONLY);
  unsigned flags = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH
  ioctl(fd, FS_IOC_SHUTDOWN, &flags);
}

// Counts a call of kind `call` on path; acts on the fault it strikes, and
// returns that fault's kind ("" for none).
std::string strike(const std::string& call, const std::string& path) {
  for (fault& f : faults()) {
    bool kills = f.what == "kill" || f.what == "cut";
    const std::string& kind = kills ? f.argument : f.what == "write" ? "fwrite" : "fread";
    if (kind != call || !ends_with(path, f.suffix) || ++f.seen != f.n) continue;
    if (f.what == "cut") power_cut(path);
    if (kills) raise(SIGKILL);
    if (f.what == "raise") raise(std::atoi(f.argument.c_str()));
    if (f.what == "rmdir") rmdir(f.argument.c_str());
    return f.what;
  }
  return "";
}

std::string absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[4096];
  return std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + path;
}

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  static auto next = real<size_t (*)(void*, size_t, size_t, FILE*)>("fread");
  if (strike("fread", path_of_fd(fileno(stream))) == "read") return 0;
  return next(buffer, size, count, stream);
}

extern "C" size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  static auto next = real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
  if (stream != stdout && strike("fwrite", path_of_fd(fileno(stream))) == "write") {
    errno = EIO;
    return 0;
  }
  return next(buffer, size, count, stream);
}

// The tool is built with 64-bit file offsets: its truncate is truncate64.
extern "C" int truncate64(const char* path, off_t length) {
  static auto next = real<int (*)(const char*, off_t)>("truncate64");
  strike("truncate", absolute(path));
  return next(path, length);
}

extern "C" int fsync(int fd) {
  static auto next = real<int (*)(int)>("fsync");
  strike("fsync", path_of_fd(fd));
  return next(fd);
}

extern "C" int unlink(const char* path) {
  static auto next = real<int (*)(const char*)>("unlink");
  strike("unlink", absolute(path));
  return next(path);
}
