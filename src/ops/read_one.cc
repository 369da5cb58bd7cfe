// Read one member: the first slot matching the name and/or type filter is
// unpacked into the current directory under its stored name, or to the
// target of -o: a file (created or replaced as any output), a device
// (written from its start, synced and read back), or stdout. The package is
// read through its descriptor and never changed. A file output takes its
// name only once whole and verified, so that a failed read leaves whatever
// had that name as it was.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <utility>

#include "base/console.h"
#include "base/messages.h"
#include "base/progress.h"
#include "ops/extract/journal.h"
#include "ops/output.h"
#include "ops/package.h"
#include "ops/selection.h"
#include "pac/codec.h"
#include "pac/digest.h"
#include "pac/hasher.h"
#include "pac/pieces.h"

namespace kb {
namespace {

const pac_member* find_member(const pac_options& options, const pac_index& index) {
  for (const pac_member& m : index.members) {
    if (selected_by_filters(options, m)) return &m;
  }
  return nullptr;
}

kb_error not_right(const std::string& shown, const char* digest) {
  return kb_error(msg::checksum_not_right(shown, digest));
}

// Where the member's bytes go.
struct sink {
  std::optional<output_file> file;  // a file, under a temporary name until whole
  fd_closer device;                 // a block or character device
  bool to_stdout = false;
  bool leased = false;  // the package is held by a read lease (stdout, a device)
  std::string shown;    // the target as messages name it

  int fd() const { return file ? file->fd() : to_stdout ? STDOUT_FILENO : device.get(); }
  bool put(const unsigned char* data, std::size_t n, std::int64_t at) const {
    return to_stdout ? write_all(STDOUT_FILENO, data, n) : write_at(fd(), data, n, at);
  }
};

// Whether a link in dir was put there by someone the command line trusts:
// dir belongs to root or this user, and no one else may write it.
bool trusted_dir(const directory& dir) {
  struct stat st;
  return fstat(dir.fd(), &st) == 0 && (st.st_uid == 0 || st.st_uid == geteuid()) &&
         (st.st_mode & 022) == 0;
}

// A device is written in place, never truncated nor renamed: it must hold
// the whole member, and no one else may be using it (a mounted
// filesystem, another writer), both known before anything is written. A
// block device is opened exclusively, which the kernel refuses while it is
// mounted or held so by another, and stays held until the read-back ends.
fd_closer open_device(int handle, const struct stat& st, const std::string& target,
                      const pac_member& m) {
  fd_closer device = reopen(handle, O_RDWR | (S_ISBLK(st.st_mode) ? O_EXCL : 0));
  if (device.get() < 0) {
    const int err = errno;
    say_reason(target, err);
    throw kb_error(err == EBUSY ? msg::device_in_use(target) : msg::cannot_write_to(target));
  }
  std::uint64_t bytes = 0;
  if (S_ISBLK(st.st_mode) && ioctl(device.get(), BLKGETSIZE64, &bytes) == 0 &&
      bytes < static_cast<std::uint64_t>(m.size)) {
    throw kb_error(msg::device_too_small(target, static_cast<std::int64_t>(bytes), m.name, m.size));
  }
  return device;
}

// After the sync the device's cached pages go, so that the read-back reads
// what the medium holds, not what this run left in memory.
void forget_cached(int device) {
  ioctl(device, BLKFLSBUF, 0);
  posix_fadvise(device, 0, 0, POSIX_FADV_DONTNEED);
}

// Only a reader may hold the package while its bytes go where they can not
// be taken back: the kernel grants a read lease only while no descriptor or
// mapping can write the file (one opened before a chown included), and a
// writer that comes later waits while this run sees the lease break and
// stops before its next piece.
bool lease_package(const package_file& package) {
  std::signal(SIGIO, SIG_IGN);  // the break is polled, piece by piece
  return fcntl(package.fd(), F_SETLEASE, F_RDLCK) == 0;
}

bool lease_held(const package_file& package) {
  return fcntl(package.fd(), F_GETLEASE) == F_RDLCK;
}

sink open_sink(const pac_options& options, const pac_member& m, const package_file& package,
               const directory& at) {
  sink s;
  const std::string& target = options.output_target.empty() ? m.name : options.output_target;
  s.shown = target;
  // Bytes sent to stdout or a device can not be taken back when the digest
  // after the last one finds them changed: only a package that no one else
  // can change since it was verified is written there.
  auto refuse_if_others_can_change = [&] {
    if (package.others_can_write() || !lease_package(package)) {
      if (!package.others_can_write()) say_reason(options.package_path, errno);
      throw kb_error(msg::changed_by_others(options.package_path, target));
    }
    s.leased = true;
  };
  if (target == "-") {
    refuse_if_others_can_change();
    s.to_stdout = true;
    return s;
  }
  const auto [dir, base] = split_path(target);
  // A device is reached through a link only where no one but root could
  // have put the link, and opened through the handle that was checked.
  fd_closer handle;
  if (!options.output_target.empty() && !base.empty()) {
    const int follow = trusted_dir(at) ? 0 : O_NOFOLLOW;
    handle = fd_closer(openat(at.fd(), base.c_str(), O_PATH | O_CLOEXEC | follow));
  }
  struct stat st;
  if (handle.get() >= 0 && fstat(handle.get(), &st) == 0 &&
      (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
    refuse_if_others_can_change();
    s.device = open_device(handle.get(), st, target, m);
    return s;
  }
  if (base.empty() || base == "." || base == "..") {
    say_reason(target, EISDIR);
    throw kb_error(msg::cannot_write_to(target));
  }
  const struct stat& pkg = package.status();
  if (fstatat(at.fd(), base.c_str(), &st, 0) == 0 && st.st_dev == pkg.st_dev &&
      st.st_ino == pkg.st_ino) {
    throw kb_error(msg::is_the_package(target, options.package_path));
  }
  check_not_side_file(at, base, target, package);
  s.file = create_output(at, base, temp_name_for(base), target);
  return s;
}

}  // namespace

directory open_output_dir(const pac_options& options) {
  if (options.output_target == "-") return {};
  const std::string dir =
      options.output_target.empty() ? "." : split_path(options.output_target).dir;
  directory at = dir == "." ? directory::current(".") : directory::open(dir, false);
  if (!at.is_open()) {
    say_reason(dir, errno);
    throw kb_error(msg::dest_dir_not_exist(dir));
  }
  return at;
}

void read_one_member(const pac_options& options, const package_file& package,
                     const pac_index& index, const directory& at) {
  if (options.name_filter.empty() && options.type_filter.empty()) {
    throw kb_error(msg::name_or_type_needed());
  }
  const pac_member* m = find_member(options, index);
  if (m == nullptr || m->name.empty()) throw kb_error(msg::no_member_found());
  const std::string& name = m->name;
  check_member_name(name);
  sink out = open_sink(options, *m, package, at);
  try {
    chunk_buffer buffer(PAC_CHUNK_SIZE);
    piece_hasher hasher;
    bool all_written = true;
    const std::int64_t offset = m->offset, size = m->size;
    std::int64_t written = 0;
    progress bar(name, size);
    // Short reads and writes stop nothing: the digest below judges the output.
    auto judged = [&](const std::string& path, int err) {
      say_reason(path, err, "the checksum of what was written decides");
    };
    piece_walk walk(offset, size, 0, size, piece_walk::member_order);
    for (piece p; walk.next(p);) {
      if (!read_at(package.fd(), buffer.data(), p.length, p.start)) {
        judged(options.package_path, errno);
        all_written = false;
        break;
      }
      // A writer came: what this piece holds may not be what was verified.
      if (out.leased && !lease_held(package)) {
        throw kb_error(msg::changed_by_others(options.package_path, out.shown));
      }
      crypt_decode(buffer.data(), p.length);
      hasher.begin(buffer.data(), p.length);
      if (all_written && !out.put(buffer.data(), p.length, written)) {
        judged(out.shown, errno);
        all_written = false;
      }
      written += static_cast<std::int64_t>(p.length);
      hasher.wait();
      bar.advance(static_cast<std::int64_t>(p.length));
    }
    if (all_written && !out.to_stdout && fsync(out.fd()) != 0) {
      judged(out.shown, errno);
      all_written = false;
    }
    bar.clear();
    char digest[MD5_TEXT_SIZE] = {};
    hasher.digest_hex(digest);
    // Exactly the record's bytes with the record's digest, and, on a
    // device, read back: a flash that lost a write is a failure.
    if (out.file && !all_written) md5_fd_hex(out.fd(), digest);
    if (out.device.get() >= 0 && all_written) forget_cached(out.fd());
    if (out.device.get() >= 0 && all_written && md5_fd_prefix_hex(out.fd(), size, digest) != 0) {
      judged(out.shown, errno);
      all_written = false;
    }
    const bool whole = all_written && written == size && (!out.file || out.file->length() == size);
    if (!whole || m->md5 != digest) throw not_right(out.shown, digest);
    if (out.file && !out.file->commit(output_mode(package.status()))) {
      say_reason(out.shown, errno);
      throw kb_error(msg::cannot_write_to(out.shown));
    }
  } catch (...) {
    if (out.file) out.file->discard();
    throw;
  }
}

}  // namespace kb
