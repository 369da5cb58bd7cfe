// Opening the package once: only a regular file no larger than a package can
// be is opened at all, so that a FIFO or a device put at its name can
// neither hang nor trigger a root-run update; for an extract in place never
// a link, nor a file with other names, which the cuts would shorten. The lock says that one run at
// a time changes it: an extract in place holds it exclusively from before the journal is read to
// its end, and every reader takes it shared, so that none reads a package that is being cut.
#include "ops/package.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>

#include "base/console.h"
#include "base/messages.h"
#include "ops/extract/journal.h"
#include "pac/codec.h"

namespace kb {

namespace {

// Whether no descriptor or mapping anywhere can write the file now, asked
// before this run opens it for writing itself: the kernel grants a read
// lease only then, and one kept open from before a chown counts too. Once
// no one can open it for writing, no one can write it later either.
bool no_writer_now(int handle) {
  fd_closer reader = reopen(handle, O_RDONLY | O_NONBLOCK);
  if (reader.get() < 0 || fcntl(reader.get(), F_SETLEASE, F_RDLCK) != 0) return false;
  fcntl(reader.get(), F_SETLEASE, F_UNLCK);
  return true;
}

}  // namespace

package_file::package_file(const std::string& path, package_use use) : path_(path) {
  const bool in_place = use == package_use::in_place;
  // First a handle that opens nothing: a link at the name may lead to a
  // device whose mere opening acts (a watchdog), so only a regular file is
  // opened for reading or writing, and through the handle, not the name.
  const path_parts parts = split_path(path);
  name_ = parts.name.empty() ? "." : parts.name;
  dir_ = directory::open(parts.dir, false);
  fd_closer handle(dir_.is_open() ? openat(dir_.fd(), name_.c_str(),
                                           O_PATH | O_CLOEXEC | (in_place ? O_NOFOLLOW : 0))
                                  : -1);
  if (handle.get() < 0) {
    const int err = errno;
    say_reason(path, err);
    // A name too long for the system names no file, as scripts have always read it.
    throw kb_error(err == ENOENT || err == ENAMETOOLONG ? msg::file_not_exist(path)
                                                        : msg::cannot_open(path));
  }
  if (fstat(handle.get(), &st_) != 0) {
    say_reason(path, errno);
    throw kb_error(msg::cannot_get_size(path));
  }
  if (in_place && S_ISLNK(st_.st_mode)) {
    throw kb_error(msg::symbolic_link_in_place(path));
  }
  // The cuts would shorten every name of the file, and the others may be
  // anyone's.
  if (in_place && S_ISREG(st_.st_mode) && st_.st_nlink != 1) {
    throw kb_error(msg::other_names_in_place(path));
  }
  // The loader's numbers are 32-bit: nothing larger was ever a package.
  const char* why = !S_ISREG(st_.st_mode) ? "not a regular file"
                    : st_.st_size > std::numeric_limits<std::int32_t>::max()
                        ? "larger than a package can be"
                        : nullptr;
  if (why != nullptr) {
    note(path + ": " + why);
    throw kb_error(msg::not_pac_file(path));
  }
  no_other_writer_ = no_writer_now(handle.get());
  const int mode = (in_place ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  fd_ = reopen(handle.get(), mode);
  struct stat now;
  if (fd_.get() < 0) {  // no /proc: the name once more, checked against the handle
    fd_ = fd_closer(openat(dir_.fd(), name_.c_str(), mode | O_NONBLOCK | O_NOFOLLOW));
  }
  if (fd_.get() < 0 || fstat(fd_.get(), &now) != 0 || now.st_dev != st_.st_dev ||
      now.st_ino != st_.st_ino) {
    say_reason(path, fd_.get() < 0 ? errno : ESTALE);
    throw kb_error(msg::cannot_open(path));
  }
  fcntl(fd_.get(), F_SETFL, fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
  if (flock(fd_.get(), (in_place ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      throw kb_error(msg::another_extract_running(path));
    }
    say_reason(path, errno, "it is used without a lock");
  }
}

std::int64_t package_file::length() const {
  struct stat st;
  if (fstat(fd_.get(), &st) != 0) {
    say_reason(path_, errno);
    throw kb_error(msg::cannot_get_size(path_));
  }
  return st.st_size;
}

pac_index load_package(const package_file& package, trailer_bytes* trailer) {
  const std::string& path = package.path();
  try {
    const std::int64_t file_size = package.length();
    if (file_size == 0) {
      note(path + ": empty, as a finished extract in place leaves it");
    }
    if (file_size < static_cast<std::int64_t>(PAC_INDEX_SIZE)) {
      throw kb_error(msg::not_pac_file(path));
    }
    auto raw = std::make_unique<trailer_bytes>();
    if (!read_at(package.fd(), raw->data(), raw->size(),
                 file_size - static_cast<std::int64_t>(PAC_INDEX_SIZE))) {
      say_reason(path, errno);
      throw kb_error(msg::not_pac_file(path));
    }
    crypt_decode(raw->data(), raw->size());
    pac_index index = read_index(*raw, file_size);
    package.set_loaded_length(file_size);
    if (trailer != nullptr) *trailer = *raw;
    return index;
  } catch (const kb_error&) {
    if (journal_exists(package)) throw cut_short(package);
    throw;
  }
}

void check_not_side_file(const directory& dir, const std::string& name, const std::string& shown,
                         const package_file& package) {
  if (name != journal_name(package) && name != package.name() + ".minisig" &&
      !is_own_name(name, journal_temp_stem(package))) {
    return;
  }
  if (dir.same_as(package.dir())) throw kb_error(msg::beside_the_package(shown, package.path()));
}

kb_error cut_short(const package_file& package) {
  std::string rerun;
  try {
    pac_index index;
    const extract_journal j = read_journal(package, index);
    if (!j.key_id.empty()) rerun += " -k <key " + j.key_id + ">";
    std::set<std::string> mapped;  // the first -d of a type counts
    for (std::size_t slot = 0; slot < index.members.size(); ++slot) {
      const std::string& output = j.outputs[slot];
      const auto slash = output.rfind('/');
      if (slash == std::string::npos) continue;
      const std::string dir = slash == 0 ? "/" : output.substr(0, slash);
      const std::string& type = index.members[slot].type;
      if (dir != j.started_in && mapped.insert(type).second) {
        rerun += " -d " + shown(type) + "," + shown(dir);
      }
    }
  } catch (const kb_error&) {
    rerun.clear();  // the rerun itself says what is wrong with the journal
  }
  return kb_error(msg::cut_short(package.path(), rerun));
}

void say_if_cut_short(const package_file& package, bool verifying) {
  if (!journal_exists(package)) return;
  if (verifying) throw cut_short(package);
  load_package(package);
  say(cut_short(package).what());
}

}  // namespace kb
