// Preloaded into kestrelbind by the tests to make one call fail, or to act,
// at a chosen moment. Configured by KB_FAULT, faults separated by ";":
//
//   <what>:<file suffix>:<moment>[:<argument>]
//
// The moment is the n-th call of its kind on such a file, or, by what the
// call does: @N the first read or write whose bytes reach offset N of the
// file; <N the first truncate to a length below N, or the first fsync
// while the file is shorter than N bytes. Below, "the n-th" stands for any.
//
//   read     the n-th read (pread) from a file whose path ends in the suffix
//            delivers nothing
//   write    the n-th write (pwrite) to such a file writes nothing (EIO)
//   raise    the n-th read from such a file first raises signal <argument>
//            (<signal>@write: the n-th write)
//   rmdir    the n-th read from such a file first removes directory
//            <argument>
//   run      the n-th read from such a file first runs shell command
//            <argument> (an attacker's move, at a moment of the test's choice);
//            run@<call> (run@fsync+): at the n-th such call instead
//   kill     the n-th call <argument> (read, truncate, fsync, unlink) on
//            such a file never happens: the process is killed first;
//            <call>+ (truncate+, fsync+) kills just after the call instead;
//            write- kills just after a write that failed (a full disk)
//   room     statvfs of a path ending in the suffix finds <moment> bytes
//            free (what --plan weighs; the run's own fstatvfs is not told)
//   cut      as kill, but a moment later, after the file's filesystem has
//            committed its log and then shut down without flushing it again,
//            as a power cut would leave it
//
// The sweep counts every state-changing call (create, write, truncate,
// punch, sync, rename, unlink) on files below a directory, in one sequence:
//
//   count:<directory>:0:<file>   appends each call's kind to <file>
//   free:<directory>:0:<file>    appends, after each call, the bytes free
//            on the directory's filesystem to <file> (a run's peak)
//   at:<directory>:<n>:<action>  at the n-th such call: kill (before it),
//            kill+ (just after it), cut (the filesystem shuts down there,
//            nothing more committed, then kill), enospc or eio (it fails),
//            term (SIGTERM comes just before it, the call goes ahead)
//
// The tool writes an output under a temporary name (".X.kb" and six
// letters or digits beside X) and its journal under "P.journal." and six;
// such names count as X and as "P.journal.tmp".
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct fault {
  std::string what, suffix, argument, call;
  char by;  // '#' the n-th call, '@' reaching offset n, '<' below n bytes
  long long n, seen;
};

std::vector<fault>& faults() {
  static auto* all = [] {
    auto* v = new std::vector<fault>;
    std::istringstream in(std::getenv("KB_FAULT") ? std::getenv("KB_FAULT") : "");
    for (std::string one; std::getline(in, one, ';');) {
      char what[16], suffix[256], moment[32], argument_text[1024] = "";
      if (std::sscanf(one.c_str(), "%15[^:]:%255[^:]:%31[^:]:%1023[^\n]", what, suffix, moment,
                      argument_text) < 3)
        continue;
      const char by = moment[0] == '@' || moment[0] == '<' ? moment[0] : '#';
      std::string action = what, call;
      if (const auto at = action.find('@'); at != std::string::npos)
        call = action.substr(at + 1), action.resize(at);
      v->push_back({action, suffix, argument_text, call, by, std::atoll(moment + (by != '#')), 0});
    }
    return v;
  }();
  return *all;
}

bool letters_or_digits(const std::string& s, std::size_t from, std::size_t n) {
  return s.size() == from + n &&
         std::all_of(s.begin() + from, s.end(), [](unsigned char c) { return std::isalnum(c); });
}

std::string as_named(std::string path) {
  const std::string deleted = " (deleted)";  // a file unlinked while open
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  const std::size_t slash = path.rfind('/') + 1, kb = path.rfind(".kb"),
                    j = path.rfind(".journal.");
  if (path.compare(slash, 1, ".") == 0 && kb != std::string::npos && kb > slash &&
      letters_or_digits(path, kb + 3, 6))
    return path.substr(0, slash) + path.substr(slash + 1, kb - slash - 1);
  if (j != std::string::npos && letters_or_digits(path, j + 9, 6))
    return path.substr(0, j) + ".journal.tmp";
  return path;
}

// Counts a call of kind `call` on path, of len bytes at offset (a
// truncate's length, the file's size at an fsync); acts on the fault it
// strikes, and returns that fault's kind ("" for none).
std::string strike(const std::string& call, const std::string& raw_path, long long offset = -1,
                   long long len = 0) {
  const std::string path = as_named(raw_path);
  for (fault& f : faults()) {
    const bool kills = f.what == "kill";
    const auto at = f.argument.find('@');
    const std::string kind = !f.call.empty()     ? f.call
                             : kills             ? f.argument
                             : f.what == "write" ? "write"
                             : f.what == "raise" && at != std::string::npos
                                 ? f.argument.substr(at + 1)
                                 : "read";
    const bool ends = path.size() >= f.suffix.size() &&
                      path.compare(path.size() - f.suffix.size(), f.suffix.size(), f.suffix) == 0;
    const bool now = f.by == '@'   ? offset >= 0 && offset <= f.n && f.n < offset + len
                     : f.by == '<' ? offset >= 0 && offset < f.n
                                   : true;
    if (kind != call || !ends || !now || ++f.seen != (f.by == '#' ? f.n : 1)) continue;
    if (kills) raise(SIGKILL);
    if (f.what == "raise") raise(std::atoi(f.argument.c_str()));
    if (f.what == "rmdir") rmdir(f.argument.c_str());
    if (f.what == "run" && std::system(f.argument.c_str()) != 0) std::perror(f.argument.c_str());
    return f.what;
  }
  return "";
}

std::string path_of(int fd) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
}

template <typename F>
F* next_of(const char* name) {
  return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

// A state-changing call of kind on path: counted, and acted on when a
// sweep's fault names it; returns the errno it is to fail with, or 0.
// after: the call is done, only kill+ acts.
int step(const char* kind, const std::string& path, bool after = false) {
  for (fault& f : faults()) {
    if (f.what == "free" && after && path.compare(0, f.suffix.size(), f.suffix) == 0) {
      static auto statvfs_next = next_of<int(const char*, struct statvfs64*)>("statvfs64");
      static auto open_next = next_of<int(const char*, int, ...)>("open64");
      struct statvfs64 vfs;
      const int fd = open_next(f.argument.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0 && statvfs_next(f.suffix.c_str(), &vfs) == 0) {
        const std::string line = std::to_string(vfs.f_bavail * vfs.f_frsize) + "\n";
        (void)!write(fd, line.data(), line.size());
      }
      if (fd >= 0) close(fd);
    }
    if ((f.what != "count" && f.what != "at") || path.compare(0, f.suffix.size(), f.suffix) != 0)
      continue;
    if (!after) ++f.seen;
    if (f.what == "count" && !after) {
      static auto open_next = next_of<int(const char*, int, ...)>("open64");
      const int fd = open_next(f.argument.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      const std::string line = std::string(kind) + "\n";
      if (fd >= 0) (void)!write(fd, line.data(), line.size()), close(fd);
    }
    if (f.what != "at" || f.seen != f.n || (f.argument == "kill+") != after) continue;
    if (f.argument == "cut") {
      unsigned flags = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH, to FS_IOC_SHUTDOWN
      ioctl(open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY),
            _IOR('X', 125, unsigned), &flags);
    }
    if (f.argument.rfind("kill", 0) == 0 || f.argument == "cut") raise(SIGKILL);
    if (f.argument == "term") raise(SIGTERM);
    if (f.argument == "enospc") return ENOSPC;
    if (f.argument == "eio") return EIO;
  }
  return 0;
}

std::string at_path(int dir, const char* name) {
  if (name[0] == '/') return name;
  return (dir == AT_FDCWD ? std::filesystem::current_path().string() : path_of(dir)) + "/" + name;
}

}  // namespace

extern "C" int open64(const char* path, int flags, ...) {
  static auto next = next_of<int(const char*, int, ...)>("open64");
  va_list ap;
  va_start(ap, flags);
  const auto mode = static_cast<mode_t>(va_arg(ap, int));
  va_end(ap);
  if (flags & O_CREAT) {
    if (const int e = step("create", at_path(AT_FDCWD, path))) return errno = e, -1;
  }
  const int r = next(path, flags, mode);
  if (flags & O_CREAT) step("create", at_path(AT_FDCWD, path), true);
  return r;
}

extern "C" int openat64(int dir, const char* path, int flags, ...) {
  static auto next = next_of<int(int, const char*, int, ...)>("openat64");
  va_list ap;
  va_start(ap, flags);
  const auto mode = static_cast<mode_t>(va_arg(ap, int));
  va_end(ap);
  if (flags & O_CREAT) {
    if (const int e = step("create", at_path(dir, path))) return errno = e, -1;
  }
  const int r = next(dir, path, flags, mode);
  if (flags & O_CREAT) step("create", at_path(dir, path), true);
  return r;
}

extern "C" int rename(const char* from, const char* to) {
  static auto next = next_of<decltype(rename)>("rename");
  if (const int e = step("rename", at_path(AT_FDCWD, from))) return errno = e, -1;
  const int r = next(from, to);
  return step("rename", at_path(AT_FDCWD, from), true), r;
}

extern "C" int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  static auto next = next_of<decltype(renameat)>("renameat");
  const std::string path = at_path(from_dir, from);
  if (const int e = step("rename", path)) return errno = e, -1;
  const int r = next(from_dir, from, to_dir, to);
  return step("rename", path, true), r;
}

extern "C" int unlinkat(int dir, const char* name, int flags) {
  static auto next = next_of<decltype(unlinkat)>("unlinkat");
  const std::string path = at_path(dir, name);
  strike("unlink", std::filesystem::absolute(path));
  if (const int e = step("unlink", path)) return errno = e, -1;
  const int r = next(dir, name, flags);
  return step("unlink", path, true), r;
}

extern "C" int fallocate64(int fd, int mode, off_t at, off_t length) {
  static auto next = next_of<decltype(fallocate64)>("fallocate64");
  if (const int e = step("punch", path_of(fd))) return errno = e, -1;
  const int r = next(fd, mode, at, length);
  return step("punch", path_of(fd), true), r;
}

// The tool is built with 64-bit file offsets: its calls are the *64 ones.
extern "C" ssize_t pread64(int fd, void* buffer, size_t count, off_t at) {
  static auto next = next_of<decltype(pread64)>("pread64");
  if (strike("read", path_of(fd), at, static_cast<long long>(count)) == "read") return 0;
  return next(fd, buffer, count, at);
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t at) {
  static auto next = next_of<decltype(pwrite64)>("pwrite64");
  if (strike("write", path_of(fd), at, static_cast<long long>(count)) == "write")
    return errno = EIO, -1;
  if (const int e = step("write", path_of(fd))) return errno = e, -1;
  const ssize_t r = next(fd, buffer, count, at);
  step("write", path_of(fd), true);
  return r < 0 ? (strike("write-", path_of(fd), at, static_cast<long long>(count)), r) : r;
}

extern "C" int ftruncate64(int fd, off_t length) {
  static auto next = next_of<decltype(ftruncate64)>("ftruncate64");
  strike("truncate", path_of(fd), length);
  if (const int e = step("truncate", path_of(fd))) return errno = e, -1;
  const int r = next(fd, length);
  step("truncate", path_of(fd), true);
  return strike("truncate+", path_of(fd), length), r;
}

extern "C" int fsync(int fd) {
  static auto next = next_of<decltype(fsync)>("fsync");
  struct stat st;
  const long long size = fstat(fd, &st) == 0 ? st.st_size : -1;
  strike("fsync", path_of(fd), size);
  if (const int e = step("sync", path_of(fd))) return errno = e, -1;
  const int r = next(fd);
  step("sync", path_of(fd), true);
  return strike("fsync+", path_of(fd), size), r;
}

extern "C" int unlink(const char* path) {
  static auto next = next_of<decltype(unlink)>("unlink");
  strike("unlink", std::filesystem::absolute(path));
  if (const int e = step("unlink", at_path(AT_FDCWD, path))) return errno = e, -1;
  const int r = next(path);
  return step("unlink", at_path(AT_FDCWD, path), true), r;
}

extern "C" int statvfs64(const char* path, struct statvfs64* out) {
  static auto next = next_of<decltype(statvfs64)>("statvfs64");
  const int r = next(path, out);
  const std::string p = path;
  for (const fault& f : faults()) {
    if (r == 0 && f.what == "room" && p.size() >= f.suffix.size() &&
        p.compare(p.size() - f.suffix.size(), f.suffix.size(), f.suffix) == 0)
      out->f_bavail = static_cast<fsblkcnt64_t>(f.n) / out->f_frsize;
  }
  return r;
}
