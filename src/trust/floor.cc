#include "trust/floor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/console.h"
#include "base/error.h"
#include "base/io.h"
#include "base/messages.h"
#include "base/staged_file.h"
#include "trust/trusted_comment.h"

namespace kb {
namespace {

constexpr std::size_t MAX_FLOOR = 64;

}  // namespace

std::uint64_t read_floor(const std::string& path) {
  // Its name is replaced, never written through: a link there is not read.
  fd_closer fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT) {  // nothing installed yet
    // Found only once the run has succeeded, a directory that is not there
    // would turn an install into a failure.
    const std::string dir = split_path(path).dir;
    if (fd_closer(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)).get() >= 0) return 0;
    say_reason(dir, errno);
    throw kb_error(msg::floor_not_written(path));
  }
  struct stat st {};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (errno != 0) say_reason(path, errno);
    throw kb_error(msg::floor_not_right(path));
  }
  char text[MAX_FLOOR + 1];
  ssize_t n;
  do {
    n = read(fd.get(), text, sizeof text);
  } while (n < 0 && errno == EINTR);
  if (n < 0) say_reason(path, errno);
  std::string_view value(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
  auto t = n > 0 && n <= static_cast<ssize_t>(MAX_FLOOR) ? decimal_timestamp(value) : std::nullopt;
  if (!t) throw kb_error(msg::floor_not_right(path));
  return *t;
}

std::uint64_t comment_timestamp(std::string_view comment) {
  constexpr std::string_view TIMESTAMP = "timestamp:";
  std::uint64_t newest = 0;
  for (std::size_t at = 0; at < comment.size();) {
    const auto start = comment.find_first_not_of(" \t\n\v\f\r", at);
    if (start == std::string_view::npos) break;
    auto end = comment.find_first_of(" \t\n\v\f\r", start);
    if (end == std::string_view::npos) end = comment.size();
    const std::string_view word = comment.substr(start, end - start);
    if (word.substr(0, TIMESTAMP.size()) == TIMESTAMP) {
      if (auto t = decimal_timestamp(word.substr(TIMESTAMP.size()))) newest = std::max(newest, *t);
    }
    at = end;
  }
  return newest;
}

void write_floor(const std::string& path, std::uint64_t timestamp) {
  const std::string base = split_path(path).name;
  const directory dir = directory::open(split_path(path).dir, false);
  std::optional<staged_file> out;
  if (dir.is_open() && !base.empty())
    out = staged_file::create_unique(dir, "." + base + ".kb", base);
  const std::string text = std::to_string(timestamp) + "\n";
  if (!out ||
      !write_all(out->fd(), reinterpret_cast<const unsigned char*>(text.data()), text.size()) ||
      !out->sync() || !out->commit(0644)) {
    say_reason(path, errno);
    if (out) out->discard();
    throw kb_error(msg::floor_not_written(path));
  }
}

}  // namespace kb
