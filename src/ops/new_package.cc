#include "ops/new_package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/console.h"
#include "base/messages.h"
#include "base/signals.h"
#include "pac/codec.h"

namespace kb {

new_package::new_package(const std::string& dest) : dest_(dest) {
  const auto [dir_path, base] = split_path(dest);
  const directory dir = directory::open(dir_path, false);
  if (dir.is_open() && !base.empty())
    file_ = staged_file::create_unique(dir, "." + base + ".", base);
  if (!file_) {
    say_reason(dest, base.empty() ? EISDIR : errno);
    throw cannot_write();
  }
  // Only the permission bits of what it replaces: a setuid, setgid or
  // sticky bit there was meant for other bytes.
  struct stat st;
  if (fstatat(dir.fd(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
    mode_ = st.st_mode & 0777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode_ = 0666 & ~mask;
  }
}

new_package::~new_package() {
  if (file_) file_->discard();
}

void new_package::append(unsigned char* data, std::size_t length) {
  crypt_encode(data, length);
  if (!write_at(file_->fd(), data, length, length_)) {
    say_reason(dest_, errno);
    throw cannot_write();
  }
  length_ += static_cast<std::int64_t>(length);
}

void new_package::stop_if_interrupted() const {
  if (interrupt_requested()) throw kb_error(msg::make_interrupted(dest_));
}

void new_package::commit() {
  // Synced, renamed and its directory synced before make says it is done.
  if (!file_->sync() || !file_->commit(mode_)) {
    say_reason(dest_, errno);
    throw cannot_write();
  }
}

kb_error new_package::cannot_write() const {
  return kb_error(msg::cannot_write_package(dest_));
}

}  // namespace kb
