// Preloaded into kestrelbind by the recovery tests to make one stream call
// fail, or to act, at a chosen moment. Configured by one environment value:
//
//   KB_FAULT=<what>:<file suffix>:<n>[:<argument>]
//
//   read     the n-th fread from a file whose path ends in the suffix
//            delivers nothing
//   write    the n-th fwrite to such a file writes nothing (errno EIO)
//   raise    the n-th fread from such a file first raises signal <argument>
//   rmdir    the n-th fread from such a file first removes directory
//            <argument>
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct fault {
  std::string what;
  std::string suffix;
  long n = 0;
  std::string argument;
  long seen = 0;
};

fault* config() {
  static fault* f = [] {
    const char* env = std::getenv("KB_FAULT");
    if (env == nullptr) return static_cast<fault*>(nullptr);
    auto* c = new fault;
    std::string s = env;
    std::size_t a = s.find(':'), b = s.find(':', a + 1), d = s.find(':', b + 1);
    c->what = s.substr(0, a);
    c->suffix = s.substr(a + 1, b - a - 1);
    c->n = std::atol(s.substr(b + 1, d == std::string::npos ? d : d - b - 1).c_str());
    if (d != std::string::npos) c->argument = s.substr(d + 1);
    return c;
  }();
  return f;
}

bool names_target(std::FILE* stream, const fault& f) {
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  std::string p(path, static_cast<std::size_t>(n));
  return p.size() >= f.suffix.size() &&
         p.compare(p.size() - f.suffix.size(), f.suffix.size(), f.suffix) == 0;
}

// True when this call is the n-th one of kind `what` on the target file.
bool strikes(std::FILE* stream, const char* what) {
  fault* f = config();
  if (f == nullptr || f->what != what || !names_target(stream, *f)) return false;
  return ++f->seen == f->n;
}

bool strikes_read(std::FILE* stream) {
  fault* f = config();
  if (f == nullptr || f->what == "write") return false;
  if (!strikes(stream, f->what.c_str())) return false;
  if (f->what == "raise") raise(std::atoi(f->argument.c_str()));
  if (f->what == "rmdir") rmdir(f->argument.c_str());
  return f->what == "read";
}

}  // namespace

extern "C" size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  using fn = size_t (*)(void*, size_t, size_t, FILE*);
  static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "fread"));
  if (strikes_read(stream)) return 0;
  return real(buffer, size, count, stream);
}

extern "C" size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  using fn = size_t (*)(const void*, size_t, size_t, FILE*);
  static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "fwrite"));
  if (stream != stdout && strikes(stream, "write")) {
    errno = EIO;
    return 0;
  }
  return real(buffer, size, count, stream);
}
