// Make a package: complete every member's record first (phase 1), then write
// the members largest first in stored order and close with the trailer
// (phase 2).
//
// The package is written to a temporary file beside the destination and
// renamed over it only when complete and on disk, so a failed make never
// leaves a half-written package nor destroys what was there before; and a
// destination that is also one of the sources is read before it is replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

#include "ops/pieces.h"
#include "ops/progress.h"

namespace kb {
namespace {

// The package's length must fit the 32-bit numbers the loader checks it
// with, trailer included; anything larger could be made but never read.
constexpr std::int64_t MAX_DATA =
    std::numeric_limits<std::int32_t>::max() - static_cast<std::int64_t>(PAC_INDEX_SIZE);

std::string_view base_name(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Splits "type,name,version" at its first two commas (the version keeps any
// further commas) and takes the member's size, refusing what cannot be stored.
void complete_record(pac_member& m, std::int64_t& total, fd_closer& source) {
  std::string_view spec = field(m.spec);
  auto first = spec.find(',');
  auto second = first == std::string_view::npos ? first : spec.find(',', first + 1);
  if (second == std::string_view::npos) throw kb_error("\r\n fail to add file! \r\n");
  set_field(m.type, spec.substr(0, first), "file type");
  set_field(m.name, spec.substr(first + 1, second - first - 1), "file name");
  set_field(m.version, spec.substr(second + 1), "file version");
  // A newline in a stored field would split or spoof the lines that
  // scripts parse, and every extract refuses such a name.
  for (auto [label, value] :
       {std::pair{"type", field(m.type)}, {"name", field(m.name)}, {"version", field(m.version)}}) {
    if (has_control_byte(value)) {
      throw kb_error("\r\n file " + std::string(label) + " " + shown(value) +
                     " holds control bytes! \r\n");
    }
  }

  const std::string name(field(m.name));
  if (access(name.c_str(), F_OK) != 0) {
    say_reason(name, errno);
    throw kb_error("\r\n file " + name + " not exist! \r\n");
  }
  // Opened without blocking, so that a FIFO cannot hang make here; only a
  // regular file has a size that its bytes match (a FIFO, a device or a
  // /proc file would be stored as an empty or a cut-short member).
  fd_closer fd(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    say_reason(name, errno);
    throw kb_error("\r\n can not read file " + name + "! \r\n");
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    say_reason(name, errno);
    throw kb_error("\r\n can not get file size info: " + name + "! \r\n");
  }
  if (!S_ISREG(st.st_mode)) throw kb_error("\r\n file " + name + " is not a regular file! \r\n");
  if (st.st_size > std::numeric_limits<std::int32_t>::max()) {
    throw kb_error("\r\n file " + name + " is too large: a member must be less than 2 GiB! \r\n");
  }
  total += st.st_size;
  if (total > MAX_DATA) {
    throw kb_error("\r\n file " + name +
                   " does not fit: a package holds less than 2 GiB of members! \r\n");
  }
  set_field(m.size, std::to_string(st.st_size), "file size");
  // Hashed and copied through this descriptor, never through the name again.
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  source = std::move(fd);
}

// Every extract refuses a package with two members of one type and name
// (both would be written to one path), so make does not write one.
void refuse_twins(const pac_index& index, int n) {
  std::vector<std::pair<std::string_view, std::string_view>> seen;
  for (int i = 0; i < n; ++i) {
    const pac_member& m = index.members[i];
    std::pair key{field(m.type), base_name(field(m.name))};
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      throw kb_error("\r\n two members of type " + std::string(key.first) + " are named " +
                     std::string(key.second) + ", a package can hold only one! \r\n");
    }
    seen.push_back(key);
  }
}

// A file in the destination's directory that is unlinked unless committed.
class temp_package {
 public:
  explicit temp_package(const std::string& dest) : dest_(dest) {
    auto slash = dest.rfind('/');
    std::string dir = slash == std::string::npos ? "." : dest.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? dest : dest.substr(slash + 1);
    path_ = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
    int fd = base.empty() ? -1 : mkstemp(path_.data());
    if (fd < 0) {
      say_reason(dest, base.empty() ? EISDIR : errno);
      throw cannot_write();
    }
    file_.reset(fdopen(fd, "wb"));
    if (!file_) {
      say_reason(path_, errno);
      close(fd);
      unlink(path_.c_str());
      throw cannot_write();
    }
    // mkstemp makes the file private; a package gets the mode that "wb" would
    // give it, or keeps the mode of the package it replaces.
    struct stat st;
    mode_t mode;
    if (stat(dest.c_str(), &st) == 0) {
      mode = st.st_mode & 07777;
    } else {
      mode_t mask = umask(0);
      umask(mask);
      mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
  }
  temp_package(const temp_package&) = delete;
  temp_package& operator=(const temp_package&) = delete;
  ~temp_package() {
    if (!committed_) {
      file_.reset();
      unlink(path_.c_str());
    }
  }

  std::FILE* get() const { return file_.get(); }
  const std::string& path() const { return path_; }

  // A stopped make removes its temporary file on the way out.
  void stop_if_interrupted() const {
    if (interrupt_requested()) {
      throw kb_error("\r\n make of " + dest_ + " was interrupted! \r\n");
    }
  }

  kb_error cannot_write() const {
    return kb_error("\r\n can not write file to :" + dest_ + "! \r\n");
  }

  // Flushes the package to disk and puts it in the destination's place.
  void commit() {
    std::FILE* f = file_.get();
    if (std::fflush(f) != 0 || fsync(fileno(f)) != 0 || !close_checked(file_)) {
      say_reason(path_, errno);
      throw cannot_write();
    }
    if (std::rename(path_.c_str(), dest_.c_str()) != 0) {
      say_reason(dest_, errno);
      throw cannot_write();
    }
    committed_ = true;
  }

 private:
  std::string dest_;
  std::string path_;
  file_ptr file_;
  bool committed_ = false;
};

// Copies a member's size bytes in stored order: its last partial piece
// first, then its whole pieces from the end back to its start.
void copy_member(const std::string& source, int in, std::int64_t size, unsigned char* buffer,
                 temp_package& package) {
  progress bar(source, size);
  constexpr auto L = static_cast<std::int64_t>(PAC_CHUNK_SIZE);
  for (std::int64_t rest = size; rest > 0;) {
    std::int64_t length = rest % L != 0 ? rest % L : L;
    rest -= length;
    const auto want = static_cast<std::size_t>(length);
    if (!read_at(in, buffer, want, rest)) {
      const int err = errno;
      say_reason(source, err);
      if (err != 0) throw kb_error("\r\n can not read file " + source + "! \r\n");
      throw kb_error("\r\n file " + source + " is shorter than when it was added! \r\n");
    }
    if (crypt_fwrite(buffer, 1, want, package.get()) != want) {
      say_reason(package.path(), errno);
      throw package.cannot_write();
    }
    bar.advance(static_cast<std::int64_t>(want));
    package.stop_if_interrupted();
  }
}

}  // namespace

void make_package(const pac_options& options, pac_index& index) {
  const int n = options.member_count;
  std::int64_t total = 0;
  std::vector<fd_closer> sources(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) complete_record(index.members[i], total, sources[i]);
  refuse_twins(index, n);

  // Every record is complete but for its digest; the offsets follow from the
  // write order alone.
  std::vector<int> order;
  std::int64_t running = 0;
  for (int i = next_member_by_size(index); i != -1; i = next_member_by_size(index)) {
    order.push_back(i);
    set_field(index.members[i].offset, std::to_string(running), "offset");
    running += read_decimal(field(index.members[i].size));
  }
  // MD5 is the one costly step of make and one core hashes slower than the
  // disk copies, so the digests are taken side by side while the main
  // thread copies; the write lines, which carry them, come out in order.
  std::vector<int> errors(order.size(), 0);  // why a digest could not be taken
  std::vector<std::size_t> all(order.size());
  for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
  job_pool digests(all, [&](std::size_t k) {
    pac_member& m = index.members[order[k]];
    m.md5.fill('\0');  // a file that cannot be read keeps an empty digest
    // Exactly the bytes the package takes, should the file grow meanwhile.
    errno = 0;
    if (md5_fd_prefix_hex(sources[order[k]].get(), read_decimal(field(m.size)), m.md5.data()) !=
        0) {
      errors[k] = errno;
    }
  });

  interrupt_guard guard(true);
  temp_package package(options.dest_path);
  // Prints the write lines of the members up to the k-th in write order, as
  // far as their digests are known (all of them when block is set).
  std::size_t printed = 0;
  auto print_lines = [&](std::size_t k, bool block) {
    for (; printed <= k && printed < order.size(); ++printed) {
      if (!block && !digests.ready(printed)) return;
      digests.wait(printed);
      const pac_member& m = index.members[order[printed]];
      std::string line = "\r\n write file type:";
      line.append(field(m.type)).append(",name:").append(field(m.name));
      line.append(",version:").append(field(m.version)).append(",size:").append(field(m.size));
      line.append(",offset:").append(field(m.offset)).append(",md5:").append(field(m.md5));
      line += " \r\n";
      say(line);
      // An empty digest means the file could not be read through.
      if (field(m.md5).empty()) {
        say_reason(field(m.name), errors[printed]);
        throw kb_error("\r\n can not read file " + std::string(field(m.name)) + "! \r\n");
      }
    }
  };

  chunk_buffer buffer;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const pac_member& m = index.members[order[k]];
    try {
      copy_member(std::string(field(m.name)), sources[order[k]].get(), read_decimal(field(m.size)),
                  buffer.data(), package);
    } catch (const kb_error&) {
      print_lines(k, true);  // the lines of everything written come first
      throw;
    }
    print_lines(k, false);
  }
  print_lines(order.size(), true);
  for (int i : order) {
    pac_member& m = index.members[i];
    set_field(m.name, base_name(std::string(field(m.name))), "file name");
  }
  package.stop_if_interrupted();
  if (!pac_index_write_trailer(index, package.get())) {
    say_reason(package.path(), errno);
    throw package.cannot_write();
  }
  package.commit();
}

}  // namespace kb
