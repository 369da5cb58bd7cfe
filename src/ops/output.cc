#include "ops/output.h"

#include "base/console.h"
#include "base/error.h"
#include "base/messages.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>

namespace kb {
namespace {

fd_closer open_dir(const std::string& dir) {
  fd_closer fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) {
    say_reason(dir, errno);
    throw kb_error(msg::dest_dir_not_exist(dir));
  }
  return fd;
}

std::string joined(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

bool ours(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

}  // namespace

output_file output_file::create(const std::string& dir, const std::string& name,
                                const std::string& temp, const std::string& shown,
                                bool removed_on_stop) {
  fd_closer d = open_dir(dir);
  const std::string path = joined(dir, name);
  constexpr int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  fd_closer fd(openat(d.get(), temp.c_str(), flags, 0600));
  if (fd.get() < 0 && errno == EEXIST) {
    // Left by a run that was stopped before it cut anything for this member:
    // nothing of the member is in it. Unlinking a name follows no link.
    unlinkat(d.get(), temp.c_str(), 0);
    fd = fd_closer(openat(d.get(), temp.c_str(), flags, 0600));
  }
  if (fd.get() < 0) {
    say_reason(shown, errno);
    throw kb_error(msg::cannot_write_to(shown));
  }
  output_file made(std::move(d), std::move(fd), path, name, temp);
  if (removed_on_stop) made.removal_ = kb::removed_on_stop(made.dir_fd(), temp);
  return made;
}

std::optional<output_file> output_file::reopen(const std::string& dir, const std::string& name,
                                               const std::string& temp) {
  fd_closer d = open_dir(dir);
  fd_closer fd(openat(d.get(), temp.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !ours(st)) return std::nullopt;
  return output_file(std::move(d), std::move(fd), joined(dir, name), name, temp);
}

std::optional<output_file> output_file::open_final(const std::string& dir,
                                                   const std::string& name) {
  fd_closer d = open_dir(dir);
  fd_closer fd(openat(d.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return output_file(std::move(d), std::move(fd), joined(dir, name), name, "");
}

std::int64_t output_file::length() const {
  struct stat st;
  return fstat(fd_.get(), &st) == 0 ? st.st_size : -1;
}

bool output_file::sync() const {
  return fsync(fd_.get()) == 0;
}

bool output_file::commit(mode_t mode) {
  if (temp_.empty()) return true;
  // The name must still be the file written: in a directory others can
  // write, it may have been swapped, and the swap is not to be installed.
  struct stat mine, named;
  if (fchmod(fd_.get(), mode) != 0 || fstat(fd_.get(), &mine) != 0 ||
      fstatat(dir_.get(), temp_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
    errno = ESTALE;
    return false;
  }
  if (renameat(dir_.get(), temp_.c_str(), dir_.get(), name_.c_str()) != 0) return false;
  temp_.clear();
  removal_.release();
  fsync(dir_.get());
  return true;
}

void output_file::discard() {
  if (temp_.empty()) return;
  struct stat mine, named;
  if (fstat(fd_.get(), &mine) == 0 &&
      fstatat(dir_.get(), temp_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
    unlinkat(dir_.get(), temp_.c_str(), 0);
    fsync(dir_.get());
  }
  temp_.clear();
  removal_.release();
}

mode_t output_mode(const struct stat& package) {
  const mode_t mask = umask(0);
  umask(mask);
  // The package's owner is not trusted: write stays the tool user's alone.
  return package.st_mode & 0644 & ~mask;
}

void make_room_for(int dir_fd, const std::string& path, const std::string& name,
                   std::int64_t needed, bool may_remove) {
  struct stat st;
  struct statvfs vfs;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      fstatvfs(dir_fd, &vfs) != 0) {
    return;
  }
  if (static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize) >= needed) return;
  if (!may_remove) {
    std::fprintf(stderr,
                 "kestrelbind: %s: little room beside the installed file, which stays until the "
                 "new one is good, since others can change the package\n",
                 path.c_str());
    return;
  }
  if (unlinkat(dir_fd, name.c_str(), 0) == 0) {
    fsync(dir_fd);
    std::fprintf(stderr,
                 "kestrelbind: %s: no room for the new file beside the old one, the old one is "
                 "removed first\n",
                 path.c_str());
  }
}

}  // namespace kb
