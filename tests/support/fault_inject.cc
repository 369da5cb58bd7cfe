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
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct fault {
  std::string what, suffix, argument;
  long n, seen;
};

std::vector<fault>& faults() {
  static auto* all = [] {
    auto* v = new std::vector<fault>;
    std::istringstream in(std::getenv("KB_FAULT") ? std::getenv("KB_FAULT") : "");
    for (std::string one; std::getline(in, one, ';');) {
      char what[16], suffix[256], argument[256] = "";
      long n = 0;
      if (std::sscanf(one.c_str(), "%15[^:]:%255[^:]:%ld:%255s", what, suffix, &n, argument) >= 3)
        v->push_back({what, suffix, argument, n, 0});
    }
    return v;
  }();
  return *all;
}

// Lets the filesystem commit what it holds (the tests mount with commit=1),
// then stops it: what was only in memory is lost, as in a power cut.
void power_cut(const std::filesystem::path& path) {
  usleep(1500000);
  unsigned flags = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH, to FS_IOC_SHUTDOWN
  ioctl(open(path.parent_path().c_str(), O_RDONLY), _IOR('X', 125, unsigned), &flags);
}

// Counts a call of kind `call` on path; acts on the fault it strikes, and
// returns that fault's kind ("" for none).
std::string strike(const std::string& call, const std::string& path) {
  for (fault& f : faults()) {
    const bool kills = f.what == "kill" || f.what == "cut";
    const std::string& kind = kills ? f.argument : f.what == "write" ? "fwrite" : "fread";
    const bool ends = path.size() >= f.suffix.size() &&
                      path.compare(path.size() - f.suffix.size(), f.suffix.size(), f.suffix) == 0;
    if (kind != call || !ends || ++f.seen != f.n) continue;
    if (f.what == "cut") power_cut(path);
    if (kills) raise(SIGKILL);
    if (f.what == "raise") raise(std::atoi(f.argument.c_str()));
    if (f.what == "rmdir") rmdir(f.argument.c_str());
    return f.what;
  }
  return "";
}

std::string path_of(int fd) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
}

}  // namespace

extern "C" size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  static auto next = reinterpret_cast<decltype(&fread)>(dlsym(RTLD_NEXT, "fread"));
  if (strike("fread", path_of(fileno(stream))) == "read") return 0;
  return next(buffer, size, count, stream);
}

extern "C" size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  static auto next = reinterpret_cast<decltype(&fwrite)>(dlsym(RTLD_NEXT, "fwrite"));
  if (stream != stdout && strike("fwrite", path_of(fileno(stream))) == "write")
    return errno = EIO, 0;
  return next(buffer, size, count, stream);
}

// The tool is built with 64-bit file offsets: its truncate is truncate64.
extern "C" int truncate64(const char* path, off_t length) {
  static auto next = reinterpret_cast<decltype(&truncate64)>(dlsym(RTLD_NEXT, "truncate64"));
  return strike("truncate", std::filesystem::absolute(path)), next(path, length);
}

extern "C" int fsync(int fd) {
  static auto next = reinterpret_cast<decltype(&fsync)>(dlsym(RTLD_NEXT, "fsync"));
  return strike("fsync", path_of(fd)), next(fd);
}

extern "C" int unlink(const char* path) {
  static auto next = reinterpret_cast<decltype(&unlink)>(dlsym(RTLD_NEXT, "unlink"));
  return strike("unlink", std::filesystem::absolute(path)), next(path);
}
