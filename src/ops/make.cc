// Make a package: complete every member's record first (phase 1), then write
// the members largest first in stored order and close with the trailer
// (phase 2).
//
// The package is written beside the destination (new_package.h), so a
// destination that is also one of the sources is read before it is replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "base/console.h"
#include "base/io.h"
#include "base/jobs.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/signals.h"
#include "ops/new_package.h"
#include "ops/ops.h"
#include "pac/digest.h"
#include "pac/pieces.h"

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

// A member's file as -a named it, open from its checks to its copy.
struct source {
  std::string path;
  fd_closer fd;
};

// Splits "type,path,version" at its first two commas (the version keeps any
// further commas), refusing what cannot be stored.
pac_member split_spec(std::string_view spec, std::string& path) {
  auto first = spec.find(',');
  auto second = first == std::string_view::npos ? first : spec.find(',', first + 1);
  if (second == std::string_view::npos) throw kb_error(msg::fail_to_add_file());
  pac_member m;
  m.type = spec.substr(0, first);
  path = spec.substr(first + 1, second - first - 1);
  m.version = spec.substr(second + 1);
  struct field_check {
    const char* label;
    std::string_view value;
    std::size_t max;
  };
  const field_check fields[] = {{"type", m.type, PAC_TYPE_MAX},
                                {"name", path, PAC_NAME_MAX},
                                {"version", m.version, PAC_VERSION_MAX}};
  for (const auto& f : fields) {
    if (f.value.size() > f.max) throw too_long(std::string("file ") + f.label, f.max, f.value);
  }
  // A newline in a stored field would split or spoof the lines that
  // scripts parse, and every extract refuses such a name.
  for (const auto& f : fields) {
    if (has_control_byte(f.value))
      throw kb_error(msg::field_control_bytes(f.label, shown(f.value)));
  }
  m.name = base_name(path);
  return m;
}

// Opens the member's file and takes its size. Opened without blocking, so
// that a FIFO cannot hang make here; only a regular file has a size that
// its bytes match (a FIFO, a device or a /proc file would be stored as an
// empty or a cut-short member).
void open_source(pac_member& m, source& src, std::int64_t& total) {
  const std::string& name = src.path;
  if (access(name.c_str(), F_OK) != 0) {
    say_reason(name, errno);
    throw kb_error(msg::file_not_exist(name));
  }
  fd_closer fd(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    say_reason(name, errno);
    throw kb_error(msg::cannot_read(name));
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    say_reason(name, errno);
    throw kb_error(msg::cannot_get_size(name));
  }
  if (!S_ISREG(st.st_mode)) throw kb_error(msg::not_regular_file(name));
  if (st.st_size > std::numeric_limits<std::int32_t>::max()) {
    throw kb_error(msg::member_too_large(name));
  }
  total += st.st_size;
  if (total > MAX_DATA) {
    throw kb_error(msg::members_do_not_fit(name));
  }
  m.size = st.st_size;
  m.size_text = std::to_string(m.size);
  // Hashed and copied through this descriptor, never through the name again.
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  src.fd = std::move(fd);
}

// Every extract refuses a package with two members of one type and name
// (both would be written to one path), so make does not write one.
void refuse_twins(const pac_index& index) {
  for (std::size_t i = 0; i < index.members.size(); ++i) {
    const pac_member& m = index.members[i];
    for (std::size_t k = 0; k < i; ++k) {
      if (index.members[k].type == m.type && index.members[k].name == m.name) {
        throw kb_error(msg::twin_members(m.type, m.name));
      }
    }
  }
}

// Copies a member's size bytes in stored order: its last piece first, then
// the pieces before it back to its start.
void copy_member(const source& src, std::int64_t size, unsigned char* buffer,
                 new_package& package) {
  progress bar(src.path, size);
  piece_walk walk(0, size, 0, size, piece_walk::stored_order);
  for (piece p; walk.next(p);) {
    const std::size_t length = p.length;
    if (!read_at(src.fd.get(), buffer, length, p.at)) {
      const int err = errno;
      say_reason(src.path, err);
      throw kb_error(err != 0 ? msg::cannot_read(src.path) : msg::shorter_than_added(src.path));
    }
    package.append(buffer, length);
    bar.advance(static_cast<std::int64_t>(length));
    package.stop_if_interrupted();
  }
}

// The line make prints of a member it wrote, naming its file as -a did.
void report_written(const pac_member& m, const source& src, int error) {
  say(msg::written(m.type, src.path, m.version, m.size_text, m.offset_text, m.md5));
  // An empty digest means the file could not be read through.
  if (m.md5.empty()) {
    say_reason(src.path, error);
    throw kb_error(msg::cannot_read(src.path));
  }
}

// Every member's record, complete but for its digest, and its open file.
pac_index plan_members(const pac_options& options, std::vector<source>& sources) {
  pac_index index;
  std::int64_t total = 0;
  sources.resize(options.member_specs.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    index.members.push_back(split_spec(options.member_specs[i], sources[i].path));
    open_source(index.members.back(), sources[i], total);
  }
  refuse_twins(index);
  index.meta_version = "1.0";
  index.header_size = std::to_string(PAC_INDEX_SIZE);
  index.feature = options.feature;
  if (has_control_byte(index.feature)) {
    throw kb_error(msg::field_control_bytes("feature", shown(index.feature)));
  }
  return index;
}

// The write order, largest first, and the offsets that follow from it.
std::vector<int> place_members(pac_index& index) {
  const std::vector<int> order = members_by_size(index);
  std::int64_t running = 0;
  for (int i : order) {
    index.members[i].offset = running;
    index.members[i].offset_text = std::to_string(running);
    running += index.members[i].size;
  }
  return order;
}

}  // namespace

void make_package(const pac_options& options) {
  std::vector<source> sources;
  pac_index index = plan_members(options, sources);
  const std::vector<int> order = place_members(index);
  // MD5 is the one costly step of make and one core hashes slower than the
  // disk copies, so the digests are taken side by side while the main
  // thread copies; the write lines, which carry them, come out in order.
  std::vector<int> errors(order.size(), 0);  // why a digest could not be taken
  std::vector<std::size_t> all(order.size());
  std::iota(all.begin(), all.end(), 0);
  job_pool digests(all, [&](std::size_t k) {
    pac_member& m = index.members[order[k]];
    char digest[MD5_TEXT_SIZE];
    // Exactly the bytes the package takes, should the file grow meanwhile;
    // a file that cannot be read keeps an empty digest.
    errno = 0;
    if (md5_fd_prefix_hex(sources[order[k]].fd.get(), m.size, digest) != 0) {
      errors[k] = errno;
    } else {
      m.md5 = digest;
    }
  });

  interrupt_guard guard(true);
  new_package package(options.dest_path);
  // Prints the write lines of the members up to the k-th in write order, as
  // far as their digests are known (all of them when block is set).
  std::size_t printed = 0;
  auto print_lines = [&](std::size_t k, bool block) {
    for (; printed <= k && printed < order.size(); ++printed) {
      if (!block && !digests.ready(printed)) return;
      digests.wait(printed);
      const int i = order[printed];
      report_written(index.members[i], sources[i], errors[printed]);
    }
  };

  chunk_buffer buffer(PAC_CHUNK_SIZE);
  for (std::size_t k = 0; k < order.size(); ++k) {
    try {
      copy_member(sources[order[k]], index.members[order[k]].size, buffer.data(), package);
    } catch (const kb_error&) {
      print_lines(k, true);  // the lines of everything written come first
      throw;
    }
    print_lines(k, false);
  }
  print_lines(order.size(), true);
  package.stop_if_interrupted();
  trailer_bytes trailer = write_index(index);
  package.append(trailer.data(), trailer.size());
  package.commit();
}

}  // namespace kb
