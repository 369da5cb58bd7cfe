#include "ops/new_package.h"

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
  auto slash = dest.rfind('/');
  std::string dir = slash == std::string::npos ? "." : dest.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? dest : dest.substr(slash + 1);
  path_ = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
  fd_ = fd_closer(base.empty() ? -1 : mkstemp(path_.data()));
  if (fd_.get() < 0) {
    say_reason(dest, base.empty() ? EISDIR : errno);
    throw cannot_write();
  }
  struct stat st;
  mode_t mode;
  if (stat(dest.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd_.get(), mode);
}

new_package::~new_package() {
  if (!committed_) unlink(path_.c_str());
}

void new_package::append(unsigned char* data, std::size_t length) {
  crypt_encode(data, length);
  if (!write_all(fd_.get(), data, length)) {
    say_reason(path_, errno);
    throw cannot_write();
  }
}

void new_package::stop_if_interrupted() const {
  if (interrupt_requested()) throw kb_error(msg::make_interrupted(dest_));
}

void new_package::commit() {
  if (fsync(fd_.get()) != 0 || close(fd_.release()) != 0) {
    say_reason(path_, errno);
    throw cannot_write();
  }
  if (std::rename(path_.c_str(), dest_.c_str()) != 0) {
    say_reason(dest_, errno);
    throw cannot_write();
  }
  committed_ = true;
}

kb_error new_package::cannot_write() const {
  return kb_error(msg::cannot_write_package(dest_));
}

}  // namespace kb
