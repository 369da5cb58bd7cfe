// Extract in place: members leave the package from its end backwards, each
// member from its own end backwards, and unless the package is preserved it
// is cut behind the pieces taken. The package and the finished outputs then
// never hold more bytes together than the package held at the start plus
// one checkpoint, which is what lets a nearly full flash unpack its firmware.
//
// A piece leaves the package only once it is on stable storage in its
// output: pieces are written, the output synced, then the package cut, a
// checkpoint of several pieces at a time. Only when the output's filesystem
// has no room for a piece that the package still holds is that piece cut
// first and written after, the one window in which a power cut can lose it.
//
// The first cut removes the index trailer, so a journal beside the package
// (journal.cc) says from then on how to finish after a kill or a power cut,
// and a handled failure or interrupt puts the member being extracted back
// and writes a new trailer describing what is left, so that the same
// command can run again and finish the job.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "ops/journal.h"
#include "ops/progress.h"
#include "ops/signature.h"

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
    say_reason(dir, errno);
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

// Syncs the file at path (its data and length) to stable storage.
bool sync_file(const std::string& path) {
  fd_closer fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

// Up to this many bytes move per sync of the output, fewer when its
// filesystem has less room: write-then-cut needs a checkpoint's room.
constexpr std::int64_t CHECKPOINT = 8 * static_cast<std::int64_t>(PAC_CHUNK_SIZE);

std::int64_t checkpoint_for(std::FILE* output) {
  struct statvfs vfs;
  if (fstatvfs(fileno(output), &vfs) != 0) return static_cast<std::int64_t>(PAC_CHUNK_SIZE);
  const auto free_bytes = static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
  return std::clamp<std::int64_t>(free_bytes / 2, PAC_CHUNK_SIZE, CHECKPOINT);
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
  std::size_t pending = 0;    // length of the piece in the buffer, 0 for none
  std::int64_t unsynced = 0;  // bytes written since the last checkpoint
};

class extract_run {
 public:
  // resumed: the journal and the package's length of a run cut short, or null.
  extract_run(const pac_options& options, const dest_dir_map& dirs, pac_index& index,
              const resume_plan* resumed = nullptr)
      : options_(options), dirs_(dirs), index_(index), resumed_(resumed) {
    if (resumed_ != nullptr) {
      journal_ = resumed_->journal;
      journal_written_ = journal_on_disk_ = cut_made_ = true;
    }
  }

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
          std::string path = resumed_ ? journal_.outputs[i] : output_path_of(m, dirs_);
          if (path.empty()) {
            done_[i] = true;  // its data goes with the next cut
          } else {
            extract_member(m, path);
          }
        }
        current_ = member_progress{};
        i = next;
      }
      finish();
    } catch (const kb_error& e) {
      if (options_.preserve || !cut_made_) throw;
      signal_block blocked;
      throw kb_error(e.what() + restore_package());
    }
    // Those that a power cut damaged are named already; the rest are out.
    if (lost_ > 0) {
      throw kb_error("\r\n " + std::to_string(lost_) + " members of " + options_.package_path +
                     " could not be recovered! \r\n");
    }
  }

  // After a handled failure that a kill cut short: the members below
  // restored_end are whole in the package; give them their trailer again.
  std::string finish_restore() {
    for (int i = 0; i < member_count(index_); ++i) {
      done_[i] = read_decimal(field(index_.members[i].offset)) >= journal_.restored_end;
    }
    return restore_package();
  }

 private:
  void stop_if_interrupted() const {
    if (interrupt_requested()) {
      throw kb_error("\r\n extract of " + options_.package_path + " was interrupted! \r\n");
    }
  }

  // The package's final state and the journal's removal reach the disk
  // before the run reports its end.
  void finish() {
    if (options_.preserve) return;
    if (cut_made_) sync_file(options_.package_path);
    remove_journal(options_.package_path);  // this run's, or one a crash left before any cut
  }

  void extract_member(const pac_member& m, const std::string& path) {
    member_progress& cur = current_;
    cur.output_path = path;
    cur.offset = read_decimal(field(m.offset));
    cur.size = read_decimal(field(m.size));
    std::int64_t remaining = cur.size;
    if (resumed_ != nullptr && cur.size > 0) {
      remaining = std::clamp<std::int64_t>(resumed_->length - cur.offset, 0, cur.size);
      if (remaining == 0) return check_out(m, path);  // it left the package before the cut
    }
    cur.written = cur.size - remaining;
    // The hasher sees only this run's pieces; a member resumed part way is
    // digested from its output.
    const bool resumed_partway = cur.written > 0;
    file_ptr output = open_file(path, cur.written > 0 ? "r+b" : "wb");
    if (cur.written > 0 && (!output || file_length(path) < cur.written ||
                            ftruncate(fileno(output.get()), cur.written) != 0)) {
      return lose(path);  // its first pieces went in the window a power cut can hit
    }
    if (!output) {
      say_reason(path, errno);
      throw kb_error("\r\n can not write to file:" + path + " \r\n");
    }
    cur.output_created = true;
    if (!options_.preserve) sync_parent_directory(path);
    hasher_.reset();
    // Pieces are written whole; the stream's own buffer would only copy them.
    std::setvbuf(output.get(), nullptr, _IONBF, 0);
    checkpoint_ = checkpoint_for(output.get());

    {
      progress bar(field(m.name), cur.size);
      bar.advance(cur.written);
      while (remaining > 0) {
        const piece p = take_piece(cur.offset, remaining);
        move_piece(p, output.get(), remaining == 0);
        bar.advance(static_cast<std::int64_t>(p.length));
        if (remaining > 0) stop_if_interrupted();
      }
    }
    if ((!options_.preserve && fsync(fileno(output.get())) != 0) || !close_checked(output)) {
      say_reason(path, errno);
      throw kb_error("\r\n fwrite error:0 \r\n");
    }
    char digest[MD5_TEXT_SIZE];
    hasher_.digest_hex(digest);
    // A member that fails its digest is put back like any member in
    // progress, so that no retry ever ends with it damaged under its name; a
    // preserving run leaves the output for a look.
    check_digest(path, m, resumed_partway ? nullptr : digest);
    done_[cur.slot] = true;
    report(m);
  }

  void report(const pac_member& m) {
    std::string line = "\r\n extract file ";
    line.append(field(m.name)).append(" size:").append(field(m.size));
    line.append(" md5:").append(field(m.md5)).append(",version:").append(field(m.version));
    line += " successfully! \r\n";
    say(line);
  }

  // A member that was out when the run was cut short: its output must be
  // whole, or it is named and left out.
  void check_out(const pac_member& m, const std::string& path) {
    done_[current_.slot] = true;
    char digest[MD5_TEXT_SIZE] = {};
    if (md5_file_hex(path.c_str(), digest) != 0 || field(m.md5) != digest) return lose(path);
    report(m);
  }

  void lose(const std::string& path) {
    done_[current_.slot] = true;
    ++lost_;
    say("\r\n file " + path + " was damaged when the extract was cut short, it is left out! \r\n");
    // What is left of it in the package is of no use now.
    cut_package(current_.offset);
  }

  // Moves one piece: read it from the package, write it to the output, and
  // at a checkpoint sync the output and cut the package behind what it holds.
  void move_piece(const piece& p, std::FILE* output, bool last) {
    member_progress& cur = current_;
    file_ptr package = open_file(options_.package_path, "rb");
    if (!package) {
      say_reason(options_.package_path, errno);
      throw kb_error("\r\n can not extract from file:" + options_.package_path + " \r\n");
    }
    if (read_piece(package.get(), p, buffer_.data()) != p.length) {
      say_reason(options_.package_path, std::ferror(package.get()) ? errno : 0);
      throw kb_error("\r\n crypt_fread error:0 \r\n");
    }
    package.reset();
    hasher_.begin(buffer_.data(), p.length);
    hash_wait hashed(hasher_);
    if (!write_piece(output, p.length)) {
      if (errno != ENOSPC || options_.preserve) write_failed();
      make_room(p, output);
    }
    cur.written += static_cast<std::int64_t>(p.length);
    cur.unsynced += static_cast<std::int64_t>(p.length);
    if (!options_.preserve && (last || cur.unsynced >= checkpoint_)) checkpoint(output, p.start);
  }

  // Writes the piece in the buffer at the end of what the output holds.
  bool write_piece(std::FILE* output, std::size_t length) {
    if (fseeko(output, current_.written, SEEK_SET) != 0) return false;
    for (std::size_t put = 0; put < length;) {
      std::size_t n = std::fwrite(buffer_.data() + put, 1, length - put, output);
      if (n == 0) return false;
      put += n;
    }
    return true;
  }

  // The output's filesystem is full while the package still holds the
  // piece: cut behind the pieces already written, and if that frees no room,
  // cut the piece itself before writing it, the old order.
  void make_room(const piece& p, std::FILE* output) {
    member_progress& cur = current_;
    std::clearerr(output);  // the failed write is answered here
    ftruncate(fileno(output), cur.written);
    if (cur.unsynced > 0) {
      checkpoint(output, p.start + static_cast<std::int64_t>(p.length));
      if (write_piece(output, p.length)) return;
      std::clearerr(output);
      ftruncate(fileno(output), cur.written);
    }
    cut_package(p.start);
    cur.pending = p.length;
    if (!write_piece(output, p.length)) write_failed();
    cur.pending = 0;
  }

  [[noreturn]] void write_failed() const {
    say_reason(current_.output_path, errno);
    throw kb_error("\r\n fwrite error:0 \r\n");
  }

  // The output is on stable storage up to here; the package lets it go.
  void checkpoint(std::FILE* output, std::int64_t cut_to) {
    if (fsync(fileno(output)) != 0) write_failed();
    current_.unsynced = 0;
    cut_package(cut_to);
  }

  void cut_package(std::int64_t to) {
    if (!journal_written_) write_the_journal();
    // A cut that fails only keeps the package longer; the run goes on.
    if (truncate(options_.package_path.c_str(), to) == 0) {
      cut_made_ = true;
    } else {
      say_reason(options_.package_path, errno, "it keeps its length, the extract goes on");
    }
  }

  // Before the first cut: the trailer, the length and every planned output.
  void write_the_journal() {
    journal_written_ = true;
    const std::string& pkg = options_.package_path;
    journal_.original_length = file_length(pkg);
    journal_.key_id = options_.verified_key;
    // Every byte of the trailer is a stored field, so the index gives it back.
    encode_trailer(index_, journal_.trailer);
    crypt_encode(journal_.trailer.data(), journal_.trailer.size());
    const int n = member_count(index_);
    for (int i = 0; i < n; ++i) {
      const pac_member& m = index_.members[i];
      if (wanted(m, options_) && !field(m.name).empty()) {
        // Absolute: the run that finishes the job may start elsewhere.
        const std::string& dir = find_dest_dir(dirs_, field(m.type));
        journal_.outputs[i] = joined_path(dir.empty() ? current_directory() : dir, field(m.name));
      }
    }
    journal_on_disk_ = write_journal(pkg, journal_);
    if (journal_on_disk_) return;
    say("\r\n can not write the journal of " + pkg + ", extracting without crash safety! \r\n");
  }

  // Puts the package back together after a failure that came after the first
  // cut; returns the line that tells what it now holds, or why it could not
  // be restored.
  std::string restore_package() {
    try {
      int kept = restore_or_throw();
      // A verified package no longer matches its signature once cut; its
      // journal keeps the key id for the run that finishes the job.
      if (journal_.key_id.empty()) remove_journal(options_.package_path);
      return "\r\n package " + options_.package_path + " now holds the " + std::to_string(kept) +
             " members not yet extracted \r\n";
    } catch (const kb_error& e) {
      return e.what();
    }
  }

  kb_error cannot_restore(const char* why) const {
    std::fprintf(stderr, "kestrelbind: %s: %s\n", options_.package_path.c_str(), why);
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
  // start. Each piece is on stable storage in the package before the output
  // lets it go, so a crash here leaves a state the journal can resume; only
  // on a full filesystem does the output shrink first.
  void put_member_back(int package) {
    member_progress& cur = current_;
    const auto L = static_cast<std::int64_t>(PAC_CHUNK_SIZE);
    fd_closer output(open(cur.output_path.c_str(), O_RDWR));
    if (output.get() < 0) throw cannot_restore(std::strerror(errno));
    // Pieces written since the last checkpoint are in the package still; and
    // whatever of the pending piece reached the output is in the buffer too.
    const std::int64_t out_of_package = cur.offset + cur.size - file_length(options_.package_path) -
                                        static_cast<std::int64_t>(cur.pending);
    cur.written = std::clamp<std::int64_t>(out_of_package, 0, cur.written);
    if (ftruncate(output.get(), cur.written) != 0) throw cannot_restore(std::strerror(errno));
    std::int64_t end = cur.offset + cur.size - cur.written - static_cast<std::int64_t>(cur.pending);
    if (ftruncate(package, end) != 0) throw cannot_restore(std::strerror(errno));
    if (cur.pending > 0) {
      crypt_encode(buffer_.data(), cur.pending);
      if (!write_at(package, buffer_.data(), cur.pending, end) || fsync(package) != 0) {
        throw cannot_restore(std::strerror(errno));
      }
      end += static_cast<std::int64_t>(cur.pending);
      cur.pending = 0;
    }
    for (std::int64_t start = (cur.written - 1) / L * L; cur.written > 0; start -= L) {
      const auto length = static_cast<std::size_t>(cur.written - start);
      if (!read_at(output.get(), buffer_.data(), length, start)) {
        throw cannot_restore(std::strerror(errno));
      }
      crypt_encode(buffer_.data(), length);
      if (!write_at(package, buffer_.data(), length, end) || fsync(package) != 0) {
        int err = errno;
        // No room: the output lets the piece go first, then it goes back.
        if (err != ENOSPC || ftruncate(output.get(), start) != 0 || ftruncate(package, end) != 0 ||
            !write_at(package, buffer_.data(), length, end)) {
          throw cannot_restore(std::strerror(err));
        }
      }
      if (ftruncate(output.get(), start) != 0) throw cannot_restore(std::strerror(errno));
      cur.written = start;
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
    // Until the trailer is whole, the journal says where the members end.
    // (On a disk too full for that, the trailer is written all the same.)
    if (journal_on_disk_) {
      journal_.restored_end = data_end;
      if (ftruncate(package, data_end) != 0 || fsync(package) != 0) {
        throw cannot_restore(std::strerror(errno));
      }
      write_journal(options_.package_path, journal_);
    }
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
  const resume_plan* resumed_;
  chunk_buffer buffer_;
  piece_hasher hasher_;
  member_progress current_;
  std::array<bool, PAC_MAX_MEMBERS> done_{};  // slots whose data left the package for good
  bool cut_made_ = false;
  bool journal_written_ = false;  // tried, before the first cut
  bool journal_on_disk_ = false;
  extract_journal journal_;
  std::int64_t checkpoint_ = CHECKPOINT;
  int lost_ = 0;
};

}  // namespace

void extract_in_place(const pac_options& options, const dest_dir_map& dirs, pac_index& index) {
  check_members(options, dirs, index);
  extract_run(options, dirs, index).run();
}

bool resume_extract(pac_options& options, pac_index& index) {
  static const dest_dir_map from_journal;  // the journal's outputs hold
  if (!journal_exists(options.package_path)) return false;
  resume_plan plan = plan_resume(options.package_path, index);
  if (plan.length < 0) return false;  // the journal is stale: a fresh run
  if (!options.key_path.empty()) {
    // The package has changed since it was verified; only the key id that
    // run verified with can vouch for it now.
    const std::string key = read_key_id(options.key_path);
    const std::string& had = plan.journal.key_id;
    if (had != key) {
      throw kb_error(
          "\r\n the extract of " + options.package_path + " was cut short " +
          (had.empty() ? "before a key verified it" : "after key " + had + " verified it") +
          ", it can not be finished with key " + key + "! \r\n");
    }
    say("\r\n key " + key + " verified " + options.package_path +
        " before its extract was cut short \r\n");
    options.verified_key = key;
  }
  say("\r\n resuming the extract of " + options.package_path + " that was cut short \r\n");
  if (plan.journal.restored_end >= 0) {
    extract_run run(options, from_journal, index, &plan);
    say(run.finish_restore());
    return false;  // a fresh run on what the package now holds
  }
  extract_run(options, from_journal, index, &plan).run();
  return true;
}

}  // namespace kb
