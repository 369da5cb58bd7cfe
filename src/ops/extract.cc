// Extract in place: members leave the package from its end backwards, each
// member from its own end backwards, and unless the package is preserved it
// is cut behind every piece taken. The package and the finished outputs then
// never hold more bytes together than the package held at the start, which
// is what lets a nearly full flash unpack its firmware.
//
// The first cut removes the index trailer, so from then on a failure or an
// interrupt must not simply stop: the member being extracted is put back
// into the package and a new trailer describing what is left is written, so
// that the same command can run again and finish the job.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "ops/pieces.h"

namespace kb {
namespace {

bool wanted(const pac_member& m, const pac_options& options) {
  return options.type_filter.empty() || field(m.type) == options.type_filter;
}

std::string joined_path(const std::string& dir, std::string_view name) {
  return dir.empty() ? std::string(name) : dir + "/" + std::string(name);
}

// The output path of a slot, or an empty text for a slot without a name and
// without a mapping. A mapped directory must still exist when its member
// comes, since it may have gone since the options were parsed.
std::string output_path_of(const pac_member& m, const dest_dir_map& dirs) {
  const std::string& dir = find_dest_dir(dirs, field(m.type));
  if (!dir.empty() && access(dir.c_str(), F_OK) != 0) {
    throw kb_error("\r\ndest directory " + dir + " not exit! \r\n");
  }
  return joined_path(dir, field(m.name));
}

// The current directory as the mappings hold theirs, resolved.
std::string current_directory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".";
}

// Every member this run would write is checked before the first output is
// created and before the first cut, so a refused member changes nothing.
void check_members(const pac_options& options, const dest_dir_map& dirs, const pac_index& index) {
  std::vector<std::pair<std::int64_t, std::int64_t>> regions;
  std::vector<std::pair<std::string, std::string>> outputs;  // resolved, as shown
  const std::string here = current_directory();
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    const pac_member& m = index.members[i];
    const std::int64_t offset = read_decimal(field(m.offset));
    if (!wanted(m, options) || offset < 0) continue;  // never visited
    regions.emplace_back(offset, offset + std::max<std::int64_t>(read_decimal(field(m.size)), 0));
    std::string_view name = field(m.name);
    if (name.empty()) continue;
    check_member_name(name);
    const std::string& dir = find_dest_dir(dirs, field(m.type));
    check_not_package(joined_path(dir, name), options.package_path);
    outputs.emplace_back(joined_path(dir.empty() ? here : dir, name), joined_path(dir, name));
  }
  // Two members written to one path: the second would destroy the first.
  std::sort(outputs.begin(), outputs.end());
  auto twice = std::adjacent_find(outputs.begin(), outputs.end(),
                                  [](auto& a, auto& b) { return a.first == b.first; });
  if (twice != outputs.end()) {
    throw kb_error("\r\n two members would be written to " + twice->second +
                   ", it can not be extracted! \r\n");
  }
  // Cutting the package behind one member would destroy any member that
  // shares its bytes; only a package made that way by hand can hold such.
  if (options.preserve) return;
  std::sort(regions.begin(), regions.end());
  for (std::size_t k = 1; k < regions.size(); ++k) {
    if (regions[k].first < regions[k - 1].second) {
      throw kb_error("\r\n members of " + options.package_path +
                     " overlap, it can not be extracted in place! \r\n");
    }
  }
}

std::int64_t file_length(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Repeats a positioned read or write, call(done) moving the bytes from
// offset done on, until all length bytes are moved.
template <typename Call>
bool transfer_all(std::size_t length, Call call) {
  for (std::size_t done = 0; done < length;) {
    ssize_t n = call(done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool write_at(int fd, const unsigned char* data, std::size_t length, std::int64_t at) {
  return transfer_all(length, [&](std::size_t done) {
    return pwrite(fd, data + done, length - done, at + static_cast<std::int64_t>(done));
  });
}

bool read_at(int fd, unsigned char* data, std::size_t length, std::int64_t at) {
  return transfer_all(length, [&](std::size_t done) {
    return pread(fd, data + done, length - done, at + static_cast<std::int64_t>(done));
  });
}

// Where the bytes of the member being extracted are: its first `written`
// bytes in the output, the piece `pending` (cut from the package but not yet
// all written) in the chunk buffer, the rest still in the package.
struct member_progress {
  int slot = -1;
  std::string output_path;
  bool output_created = false;
  std::int64_t offset = 0;
  std::int64_t size = 0;
  std::int64_t written = 0;
  std::size_t pending = 0;  // length of the piece in the buffer, 0 for none
};

class extract_run {
 public:
  extract_run(const pac_options& options, const dest_dir_map& dirs, pac_index& index,
              const piece_hook& after_piece)
      : options_(options),
        dirs_(dirs),
        index_(index),
        after_piece_(after_piece),
        buffer_(PAC_CHUNK_SIZE) {}

  void run() {
    interrupt_guard guard(!options_.preserve);
    try {
      // The next slot is chosen before this one is worked on.
      for (int i = next_member_by_offset(index_); i != -1;) {
        const int next = next_member_by_offset(index_);
        stop_if_interrupted();
        const pac_member& m = index_.members[i];
        if (wanted(m, options_)) {
          current_ = member_progress{};
          current_.slot = i;
          std::string path = output_path_of(m, dirs_);
          if (path.empty()) {
            done_[i] = true;  // its data goes with the next cut
          } else {
            extract_member(m, path);
          }
        }
        current_ = member_progress{};
        i = next;
      }
    } catch (const kb_error& e) {
      if (options_.preserve || !cut_made_) throw;
      signal_block blocked;
      throw kb_error(e.what() + restore_package());
    }
  }

 private:
  void stop_if_interrupted() const {
    if (interrupt_requested()) {
      throw kb_error("\r\n extract of " + options_.package_path + " was interrupted! \r\n");
    }
  }

  void extract_member(const pac_member& m, const std::string& path) {
    member_progress& cur = current_;
    cur.output_path = path;
    cur.offset = read_decimal(field(m.offset));
    cur.size = read_decimal(field(m.size));
    file_ptr output = open_file(path, "wb");
    if (!output) throw kb_error("\r\n can not write to file:" + path + " \r\n");
    cur.output_created = true;
    hasher_.reset();
    // Pieces are written whole; the stream's own buffer would only copy them.
    std::setvbuf(output.get(), nullptr, _IONBF, 0);

    for (std::int64_t remaining = cur.size; remaining > 0;) {
      move_piece(take_piece(cur.offset, remaining), output.get());
      if (after_piece_) after_piece_(file_length(options_.package_path));
      if (remaining > 0) stop_if_interrupted();
    }
    if (!close_checked(output)) throw kb_error("\r\n fwrite error:0 \r\n");
    char digest[MD5_TEXT_SIZE];
    hasher_.digest_hex(digest);
    // A member that fails its digest is put back like any member in
    // progress, so that no retry ever ends with it damaged under its name; a
    // preserving run leaves the output for a look.
    check_digest(path, m, digest);
    done_[cur.slot] = true;
    std::string line = "\r\n extract file ";
    line.append(field(m.name)).append(" size:").append(field(m.size));
    line.append(" md5:").append(field(m.md5)).append(",version:").append(field(m.version));
    line += " successfully! \r\n";
    say(line);
  }

  // Moves one piece: open the package, read the piece, close the package, cut
  // it behind the piece, write the piece out. The package stream is never
  // held across the cut, and the piece leaves the package before its bytes
  // land in the output, so the two never hold it twice.
  void move_piece(const piece& p, std::FILE* output) {
    file_ptr package = open_file(options_.package_path, "rb");
    if (!package) {
      throw kb_error("\r\n can not extract from file:" + options_.package_path + " \r\n");
    }
    if (read_piece(package.get(), p, buffer_.data()) != p.length) {
      throw kb_error("\r\n crypt_fread error:0 \r\n");
    }
    package.reset();
    if (!options_.preserve) {
      current_.pending = p.length;
      // A cut that fails only keeps the package longer; the run goes on.
      if (truncate(options_.package_path.c_str(), p.start) == 0) cut_made_ = true;
    }
    hasher_.begin(buffer_.data(), p.length);
    hash_wait hashed(hasher_);
    std::size_t put = 0;
    while (put < p.length) {
      std::size_t n = std::fwrite(buffer_.data() + put, 1, p.length - put, output);
      if (n == 0) throw kb_error("\r\n fwrite error:0 \r\n");
      put += n;
    }
    current_.pending = 0;
    current_.written += static_cast<std::int64_t>(p.length);
  }

  // Puts the package back together after a failure that came after the first
  // cut; returns the line that tells what it now holds, or why it could not
  // be restored.
  std::string restore_package() {
    try {
      int kept = restore_or_throw();
      return "\r\n package " + options_.package_path + " now holds the " + std::to_string(kept) +
             " members not yet extracted \r\n";
    } catch (const kb_error& e) {
      return e.what();
    }
  }

  kb_error cannot_restore(const char* why) const {
    return kb_error("\r\n can not restore package " + options_.package_path + ": " + why +
                    "! \r\n");
  }

  int restore_or_throw() {
    const std::string& pkg = options_.package_path;
    fd_closer package(open(pkg.c_str(), O_RDWR));
    if (package.get() < 0) throw cannot_restore(std::strerror(errno));
    if (current_.slot != -1 && current_.output_created && !done_[current_.slot]) {
      put_member_back(package.get());
    }
    return write_trailer(package.get());
  }

  // Returns the member's pieces to the package in stored order: the piece in
  // the buffer first, then the pieces in the output from its end back to its
  // start, the output shrinking before the package grows so that no extra
  // space is needed.
  void put_member_back(int package) {
    member_progress& cur = current_;
    const auto L = static_cast<std::int64_t>(PAC_CHUNK_SIZE);
    fd_closer output(open(cur.output_path.c_str(), O_RDWR));
    if (output.get() < 0) throw cannot_restore(std::strerror(errno));
    // Whatever of the pending piece reached the output is in the buffer too.
    if (ftruncate(output.get(), cur.written) != 0) throw cannot_restore(std::strerror(errno));
    std::int64_t end = cur.offset + cur.size - cur.written - static_cast<std::int64_t>(cur.pending);
    if (ftruncate(package, end) != 0) throw cannot_restore(std::strerror(errno));
    if (cur.pending > 0) {
      crypt_encode(buffer_.data(), cur.pending);
      if (!write_at(package, buffer_.data(), cur.pending, end)) {
        throw cannot_restore(std::strerror(errno));
      }
      end += static_cast<std::int64_t>(cur.pending);
      cur.pending = 0;
    }
    for (std::int64_t start = (cur.written - 1) / L * L; cur.written > 0; start -= L) {
      const auto length = static_cast<std::size_t>(cur.written - start);
      if (!read_at(output.get(), buffer_.data(), length, start) ||
          ftruncate(output.get(), start) != 0) {
        throw cannot_restore(std::strerror(errno));
      }
      cur.written = start;
      crypt_encode(buffer_.data(), length);
      if (!write_at(package, buffer_.data(), length, end)) {
        int err = errno;
        // The piece is only in memory now; hand it back to the output.
        crypt_decode(buffer_.data(), length);
        if (write_at(output.get(), buffer_.data(), length, start)) cur.written += length;
        throw cannot_restore(std::strerror(err));
      }
      end += static_cast<std::int64_t>(length);
    }
    if (fsync(package) != 0) throw cannot_restore(std::strerror(errno));
    unlink(cur.output_path.c_str());
  }

  // Writes a trailer holding the members not yet in their outputs, in their
  // slot order, right behind the last of their data; returns their number.
  int write_trailer(int package) {
    auto left = std::make_unique<pac_index>();
    left->meta_version = index_.meta_version;
    left->header_size = index_.header_size;
    left->feature = index_.feature;
    int kept = 0;
    std::int64_t data_end = 0;
    const int n = member_count(index_);
    for (int i = 0; i < n; ++i) {
      const pac_member& m = index_.members[i];
      if (done_[i]) continue;
      std::int64_t size = read_decimal(field(m.size));
      data_end =
          std::max(data_end, read_decimal(field(m.offset)) + std::max<std::int64_t>(size, 0));
      left->members[kept++] = m;
    }
    set_field(left->count, std::to_string(kept), "count");
    // Anything behind the last member left is data of slots already done.
    if (data_end > file_length(options_.package_path)) throw cannot_restore("members are missing");
    trailer_bytes raw;
    encode_trailer(*left, raw);
    crypt_encode(raw.data(), raw.size());
    if (ftruncate(package, data_end) != 0 || !write_at(package, raw.data(), raw.size(), data_end) ||
        fsync(package) != 0) {
      throw cannot_restore(std::strerror(errno));
    }
    try {
      pac_index_load(options_.package_path, *left);
    } catch (const kb_error&) {
      throw cannot_restore("what is left does not form a valid package");
    }
    return kept;
  }

  const pac_options& options_;
  const dest_dir_map& dirs_;
  pac_index& index_;
  const piece_hook& after_piece_;
  std::vector<unsigned char> buffer_;
  piece_hasher hasher_;
  member_progress current_;
  std::array<bool, PAC_MAX_MEMBERS> done_{};  // slots whose data left the package for good
  bool cut_made_ = false;
};

}  // namespace

void extract_in_place(const pac_options& options, const dest_dir_map& dirs, pac_index& index,
                      const piece_hook& after_piece) {
  check_members(options, dirs, index);
  extract_run(options, dirs, index, after_piece).run();
}

}  // namespace kb
