// The one place where a file is written under a name of its own, synced and
// renamed into place (staged_file.h).
#include "base/staged_file.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <random>

namespace kb {

path_parts split_path(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

directory directory::open(const std::string& path, bool resolved) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (resolved ? O_NOFOLLOW : 0);
  fd_closer fd(::open(path.c_str(), flags));
  if (fd.get() < 0) return {};
  if (resolved) {
    // A link on the way, swapped in since the path was resolved, leads
    // elsewhere than the last name alone shows.
    char now[PATH_MAX];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd.get())).c_str(), now, sizeof now);
    if (n > 0 && path.compare(0, std::string::npos, now, static_cast<std::size_t>(n)) != 0) {
      errno = ELOOP;
      return {};
    }
  }
  directory d;
  d.fd_ = std::make_shared<fd_closer>(std::move(fd));
  d.path_ = path;
  return d;
}

directory directory::current(const std::string& path) {
  directory d = open(".", false);
  d.path_ = path;
  return d;
}

std::string directory::joined(const std::string& name) const {
  return path_ == "/" ? "/" + name : path_ + "/" + name;
}

bool directory::same_as(const directory& other) const {
  struct stat a, b;
  return fstat(fd(), &a) == 0 && fstat(other.fd(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

namespace {

constexpr std::size_t OWN_NAME_RANDOM = 6;  // letters and digits
constexpr std::size_t NAME_PART = 200;      // of the final name, within NAME_MAX

std::string temp_stem_for(std::string_view name) {
  return "." + std::string(name.substr(0, NAME_PART)) + ".kb";
}

}  // namespace

std::string own_name(std::string_view stem) {
  static constexpr char ALNUM[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::random_device random;
  std::string out(stem);
  for (std::size_t i = 0; i < OWN_NAME_RANDOM; ++i) out += ALNUM[random() % (sizeof ALNUM - 1)];
  return out;
}

std::string new_mark() {
  std::random_device random;
  std::string out;
  for (int i = 0; i < 32; ++i) out += "0123456789abcdef"[random() % 16];
  return out;
}

bool is_own_name(std::string_view text, std::string_view stem) {
  return text.size() == stem.size() + OWN_NAME_RANDOM && text.substr(0, stem.size()) == stem &&
         std::all_of(text.end() - OWN_NAME_RANDOM, text.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string temp_name_for(std::string_view name) {
  return own_name(temp_stem_for(name));
}

bool is_temp_name_for(std::string_view text, std::string_view name) {
  return is_own_name(text, temp_stem_for(name));
}

namespace {

constexpr int CREATE = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// A file the tool is about to write must never be one of the standard
// descriptors, or a message would land in it (main opens them first).
fd_closer created(int dir, const std::string& temp) {
  fd_closer fd(openat(dir, temp.c_str(), CREATE, 0600));
  if (fd.get() >= 0 && fd.get() <= STDERR_FILENO) {
    unlinkat(dir, temp.c_str(), 0);
    errno = EBADF;
    return fd_closer();
  }
  return fd;
}

constexpr char OWNER_ATTRIBUTE[] = "user.kestrelbind.owner";

bool keeps_no_attributes(int err) {
  return err == ENOTSUP || err == EOPNOTSUPP;
}

// Whether the file carries owner (for none: no mark at all); one on a
// filesystem that keeps no attributes can not tell and passes, and so
// does an empty one without any (a kill came between its creation and its
// marking): it holds nothing to lose or to read.
bool carries(int fd, const struct stat& st, const std::string& owner) {
  char value[256];
  const ssize_t n = fgetxattr(fd, OWNER_ATTRIBUTE, value, sizeof value);
  if (n < 0)
    return keeps_no_attributes(errno) || (errno == ENODATA && (owner.empty() || st.st_size == 0));
  return std::string(value, static_cast<std::size_t>(n)) == owner;
}

// An earlier run's file at temp: ours to replace when it carries owner.
bool remove_ours(int dir, const std::string& temp, const std::string& owner) {
  fd_closer fd(openat(dir, temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (!owner.empty() && !carries(fd.get(), st, owner))) {
    errno = EEXIST;
    return false;
  }
  return unlinkat(dir, temp.c_str(), 0) == 0;  // removing a name follows no link
}

}  // namespace

std::optional<staged_file> staged_file::create(const directory& dir, const std::string& temp,
                                               const std::string& name, bool replace,
                                               const std::string& owner) {
  fd_closer fd = created(dir.fd(), temp);
  if (fd.get() < 0 && errno == EEXIST && replace && remove_ours(dir.fd(), temp, owner)) {
    fd = created(dir.fd(), temp);
  }
  if (fd.get() < 0) return std::nullopt;
  if (!owner.empty() && fsetxattr(fd.get(), OWNER_ATTRIBUTE, owner.data(), owner.size(), 0) != 0 &&
      !keeps_no_attributes(errno)) {
    const int err = errno;
    unlinkat(dir.fd(), temp.c_str(), 0);
    errno = err;
    return std::nullopt;
  }
  return staged_file(dir, std::move(fd), name, temp);
}

std::optional<staged_file> staged_file::create_unique(const directory& dir, const std::string& stem,
                                                      const std::string& name) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    auto file = create(dir, own_name(stem), name, false);
    if (file || errno != EEXIST) return file;
  }
  return std::nullopt;
}

std::optional<staged_file> staged_file::adopt(const directory& dir, const std::string& temp,
                                              const std::string& name, const std::string& owner) {
  fd_closer fd(openat(dir.fd(), temp.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      st.st_nlink != 1 || !carries(fd.get(), st, owner)) {
    return std::nullopt;
  }
  return staged_file(dir, std::move(fd), name, temp);
}

std::optional<staged_file> staged_file::open_final(const directory& dir, const std::string& name) {
  fd_closer fd(openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return staged_file(dir, std::move(fd), name, "");
}

std::int64_t staged_file::length() const {
  struct stat st;
  return fstat(fd_.get(), &st) == 0 ? st.st_size : -1;
}

bool staged_file::sync() const {
  return fsync(fd_.get()) == 0;
}

// In a directory others can write, the temporary name may have been
// swapped for another file, which is then neither installed nor removed.
bool staged_file::still_named() const {
  struct stat mine, named;
  if (fstat(fd_.get(), &mine) != 0 ||
      fstatat(dir_.fd(), temp_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) return true;
  errno = ESTALE;
  return false;
}

bool staged_file::commit(mode_t mode) {
  if (temp_.empty()) return true;
  if (fchmod(fd_.get(), mode) != 0) return false;
  if (!still_named()) return false;
  if (renameat(dir_.fd(), temp_.c_str(), dir_.fd(), name_.c_str()) != 0) return false;
  temp_.clear();
  removal_.release();
  return fsync(dir_.fd()) == 0;
}

void staged_file::discard() {
  if (temp_.empty()) return;
  if (still_named() && unlinkat(dir_.fd(), temp_.c_str(), 0) == 0) fsync(dir_.fd());
  temp_.clear();
  removal_.release();
}

void staged_file::remove_on_stop() {
  if (!temp_.empty()) removal_ = removed_on_stop(dir_.fd(), temp_);
}

}  // namespace kb
