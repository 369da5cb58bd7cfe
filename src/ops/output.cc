#include "ops/output.h"

#include "base/console.h"
#include "base/error.h"
#include "base/messages.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>

namespace kb {

directory open_dest_dir(const std::string& path) {
  directory dir = directory::current(path);
  if (!dir.is_open()) {
    say_reason(path, errno);
    throw kb_error(msg::dest_dir_not_exist(path));
  }
  return dir;
}

output_file create_output(const directory& dir, const std::string& name, const std::string& temp,
                          const std::string& shown, bool removed_on_stop,
                          const std::string& owner) {
  // A leftover at temp is from a run stopped before it cut anything for
  // this member: nothing of the member is in it.
  auto file = staged_file::create(dir, temp, name, true, owner);
  if (!file) {
    const int err = errno;
    say_reason(shown, err);
    // A plain name not found: the directory itself was removed since.
    throw kb_error(err == ENOENT ? msg::dest_dir_not_exist(dir.path())
                                 : msg::cannot_write_to(shown));
  }
  if (removed_on_stop) file->remove_on_stop();
  return std::move(*file);
}

mode_t output_mode(const struct stat& package) {
  const mode_t mask = umask(0);
  umask(mask);
  // The package's owner is not trusted: write stays the tool user's alone.
  return package.st_mode & 0644 & ~mask;
}

void make_room_for(const directory& dir, const std::string& name, std::int64_t needed,
                   const std::function<bool()>& may_remove) {
  struct stat st;
  struct statvfs vfs;
  if (fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      fstatvfs(dir.fd(), &vfs) != 0) {
    return;
  }
  const std::string path = dir.joined(name);
  if (static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize) >= needed) return;
  if (!may_remove()) {
    note(path + ": little room beside the installed file, which stays until the new one is good");
    return;
  }
  if (unlinkat(dir.fd(), name.c_str(), 0) == 0) {
    fsync(dir.fd());
    note(path + ": no room for the new file beside the old one, the old one is removed first");
  }
}

}  // namespace kb
