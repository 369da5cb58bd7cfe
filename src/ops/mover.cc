// The mover: members leave the package from its end backwards, each member
// from its own end backwards, and unless the package is preserved it is cut
// behind the pieces taken. The package and the finished outputs then never
// hold more bytes together than the package held at the start plus one
// checkpoint, which is what lets a nearly full flash unpack its firmware.
//
// A piece leaves the package only once it is on stable storage in its
// output: pieces are written, the output synced, then the package cut and
// the cut synced too, a checkpoint of several pieces at a time. The cut is
// synced before the next byte is written anywhere, so that blocks it freed
// can not be given to an output while a power cut could still roll the cut
// back and find them in the package. No piece is ever cut before it is
// written: a run asks for a piece's room before it starts, and one that
// finds the room gone stops and puts its member back.
#include <fcntl.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/console.h"
#include "base/messages.h"
#include "ops/extract_run.h"
#include "ops/progress.h"
#include "pac/codec.h"
#include "pac/digest.h"

namespace kb {
namespace {

constexpr auto L = static_cast<std::int64_t>(PAC_CHUNK_SIZE);

// A member's first checkpoint (two syncs) moves this many bytes, each next
// one twice as many up to the largest, so that a large member costs few
// syncs; fewer when the output's filesystem has less room, since
// write-then-cut needs a checkpoint's room.
constexpr std::int64_t FIRST_CHECKPOINT = 8 * L;
constexpr std::int64_t LARGEST_CHECKPOINT = 64 * L;

std::int64_t checkpoint_for(int output, std::int64_t wanted) {
  struct statvfs vfs;
  if (fstatvfs(output, &vfs) != 0) return L;
  const auto free_bytes = static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
  return checkpoint_with(free_bytes, wanted);
}

// A hint only: what a crash may lose is still bounded by the syncs.
void start_write_back(int fd, std::int64_t at, std::size_t length) {
  sync_file_range(fd, at, static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

}  // namespace

std::int64_t checkpoint_with(std::int64_t free_bytes, std::int64_t wanted) {
  return std::clamp<std::int64_t>(free_bytes / 2, L, wanted);
}

std::int64_t largest_checkpoint(std::int64_t free_bytes) {
  return checkpoint_with(free_bytes, LARGEST_CHECKPOINT);
}

extract_run::extract_run(const pac_options& o, package_file& p, const pac_index& i,
                         std::int64_t length)
    : options(o),
      package(p),
      index(i),
      in_place(!o.preserve),
      mode(output_mode(p.status())),
      expected_length(length) {}

void report_extracted(const pac_member& m) {
  say(msg::extracted(m.name, m.size_text, m.md5, m.version));
}

void fill_journal(extract_journal& j, const extract_plan& plan, const trailer_bytes& trailer,
                  std::int64_t original_length, const pac_options& options) {
  j.original_length = original_length;
  j.key_id = options.verified_key;
  j.hash_state = options.verified_hash_state;
  j.started_in = plan.started_in;
  j.trailer = trailer;
  crypt_encode(j.trailer.data(), j.trailer.size());
  for (const auto& p : plan.members) {
    if (p.name.empty()) continue;
    j.outputs[p.slot] = p.output();
    j.temps[p.slot] = p.temp;
  }
}

void extract_run::stop_if_interrupted() const {
  if (interrupt_requested()) {
    throw kb_error(msg::extract_interrupted(options.package_path));
  }
}

void extract_run::fail(const std::string& message) {
  if (finished) throw kb_error(message);  // every member is out: nothing to put back
  if (!in_place || !cut_made) {
    if (current.output) current.output->discard();
    // Written for a cut that never came: the package is as it was.
    if (journal_is == journal_state::on_disk) remove_journal(package);
    throw kb_error(message);
  }
  signal_block blocked;
  throw kb_error(message + restore_package());
}

void extract_run::extract_member(const planned_member& p, std::int64_t written,
                                 std::optional<output_file> output) {
  stop_if_interrupted();
  current = member_in_flight{};
  current.member = &p;
  if (p.name.empty() && !p.shown.empty()) {  // mapped: it was meant to be installed
    say_reason(p.shown, EISDIR);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
  if (p.name.empty()) {
    done[p.slot] = true;  // its data goes with the next cut
    return;
  }
  if (!output) {
    output = create_output(p.at, p.name, p.temp, p.shown, !in_place);
    if (in_place) {
      fsync(p.at.fd());  // a crash from here on finds it where the journal says
      // Beside the package its room comes back as the package shrinks;
      // elsewhere the new file needs all of its own.
      struct stat dir;
      if (fstat(p.at.fd(), &dir) == 0 && dir.st_dev != package.status().st_dev) {
        // Not when others can change the package: they could make the new
        // member fail once the installed one is gone.
        make_room_for(p.at, p.name, p.size + L, !package.others_can_write());
      }
    }
  }
  current.output = std::move(output);
  const int out = current.output->fd();
  hasher.reset();
  if (written > 0) {
    // What a run cut short wrote is digested from the output itself.
    if (ftruncate(out, written) != 0 || fsync(out) != 0) write_failed();
    for (std::int64_t at = 0; at < written; at += L) {
      const auto n = static_cast<std::size_t>(std::min(L, written - at));
      if (!read_at(out, buffer.data(), n, at)) write_failed();
      hasher.begin(buffer.data(), n);
      hasher.wait();
    }
  }
  current.written = written;
  checkpoint_bytes = checkpoint_for(out, FIRST_CHECKPOINT);
  {
    const pac_member& m = index.members[p.slot];
    progress bar(m.name, p.size);
    bar.advance(written);
    for (std::int64_t remaining = p.size - written; remaining > 0;) {
      const piece pc = take_piece(p.offset, remaining);
      move_piece(pc, remaining == 0);
      bar.advance(static_cast<std::int64_t>(pc.length));
      if (remaining > 0) stop_if_interrupted();
    }
  }
  complete(p);
}

// The member is whole in its output: synced, checked, and only then put
// under its name. A member that fails its digest is put back like any
// member in progress, so that no retry ever ends with it damaged under its
// name, and what was installed there stays.
void extract_run::complete(const planned_member& p) {
  const pac_member& m = index.members[p.slot];
  if (!current.output->sync()) write_failed();
  char digest[MD5_TEXT_SIZE];
  hasher.digest_hex(digest);
  if (m.md5 != digest) {
    throw kb_error(msg::checksum_not_right(p.shown, digest));
  }
  if (!current.output->commit(mode)) {
    say_reason(p.shown, errno);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
  done[p.slot] = true;
  current = member_in_flight{};
  report_extracted(m);
}

void extract_run::finish_out(const planned_member& p, output_file output) {
  current = member_in_flight{};
  current.member = &p;
  done[p.slot] = true;  // whatever it holds, the package holds none of it
  char digest[MD5_TEXT_SIZE] = {};
  if (md5_fd_hex(output.fd(), digest) != 0 || index.members[p.slot].md5 != digest) {
    output.discard();
    return lose(p);
  }
  if (!output.sync() || !output.commit(mode)) {
    say_reason(p.shown, errno);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
  current = member_in_flight{};
  report_extracted(index.members[p.slot]);
}

void extract_run::prove_installed(const planned_member& p,
                                  const std::optional<output_file>& installed) {
  char digest[MD5_TEXT_SIZE] = {};
  if (!installed || md5_fd_hex(installed->fd(), digest) != 0 ||
      index.members[p.slot].md5 != digest) {
    return lose(p);
  }
  done[p.slot] = true;
}

void extract_run::lose(const planned_member& p) {
  done[p.slot] = true;
  ++lost;
  current = member_in_flight{};
  say(msg::damaged_and_left_out(p.output()));
}

void extract_run::move_piece(const piece& p, bool last) {
  if (!read_at(package.fd(), buffer.data(), p.length, p.start)) {
    stop_if_interrupted();  // a stop that came while the read waited
    say_reason(options.package_path, errno);
    throw kb_error(msg::read_error());
  }
  crypt_decode(buffer.data(), p.length);
  hasher.begin(buffer.data(), p.length);
  hash_wait hashed(hasher);
  if (!write_at(current.output->fd(), buffer.data(), p.length, current.written)) {
    stop_if_interrupted();
    if (errno != ENOSPC || !in_place) write_failed();
    make_room(p);
  }
  // Write-back starts now, while the next pieces are read and hashed, so
  // that the checkpoint's sync waits for the last of them only.
  if (in_place) start_write_back(current.output->fd(), current.written, p.length);
  current.written += static_cast<std::int64_t>(p.length);
  current.unsynced += static_cast<std::int64_t>(p.length);
  if (in_place && (last || current.unsynced >= checkpoint_bytes)) checkpoint(p.start);
}

// The output's filesystem is full while the package still holds the
// piece: cut behind the pieces already written and write it again. With
// none to cut, the run stops and puts the member back: cutting the piece
// before it is written would leave it in memory alone, where a kill or a
// power cut loses it, and the run asked for a piece's room before it began.
void extract_run::make_room(const piece& p) {
  const int out = current.output->fd(), err = errno;
  ftruncate(out, current.written);  // whatever part of the piece got there
  if (current.unsynced > 0) {
    checkpoint(p.start + static_cast<std::int64_t>(p.length));
    if (write_at(out, buffer.data(), p.length, current.written)) return;
    ftruncate(out, current.written);
  }
  errno = err;
  write_failed();
}

void extract_run::write_failed() const {
  say_reason(current.member->shown, errno);
  throw kb_error(msg::write_error());
}

// The output is on stable storage up to here; the package lets it go.
void extract_run::checkpoint(std::int64_t cut_to) {
  if (!current.output->sync()) write_failed();
  current.unsynced = 0;
  cut_package(cut_to);
  checkpoint_bytes =
      checkpoint_for(current.output->fd(), std::min(2 * checkpoint_bytes, LARGEST_CHECKPOINT));
}

void extract_run::cut_package(std::int64_t to) {
  if (journal_is != journal_state::on_disk) throw kb_error(msg::write_error());
  const std::int64_t length = package.length();
  // Only this run changes the package's length; anything else is someone
  // else's hand on it, and the run stops.
  if (length != expected_length) {
    throw kb_error(msg::changed_while_extracted(options.package_path));
  }
  expected_length = length;
  if (to >= length) return;  // a cut never lengthens it
  // A cut that fails only keeps the package longer; the run goes on.
  if (ftruncate(package.fd(), to) != 0) {
    say_reason(options.package_path, errno, "it keeps its length, the extract goes on");
    return;
  }
  cut_made = true;
  expected_length = to;
  if (fsync(package.fd()) != 0) {
    say_reason(options.package_path, errno);
    throw kb_error(msg::write_error());
  }
}

// What an extract in place needs free on the package's filesystem before
// it changes anything: its journal (twice: a put-back writes a new copy
// beside it) and, for outputs beside the package, one piece and a block
// per output (a member's last block as a file of its own) and a few, so that every
// piece is written before the package lets it go.
std::int64_t extract_run::room_needed(const extract_plan& plan, bool with_journal) const {
  struct statvfs vfs;
  if (!in_place || fstatvfs(package.fd(), &vfs) != 0) return 0;
  const auto block = static_cast<std::int64_t>(vfs.f_frsize);
  const auto round_up = [&](std::int64_t n) { return (n + block - 1) / block * block; };
  std::int64_t needed = with_journal ? 2 * round_up(std::int64_t(journal_bytes(journal))) : 0;
  int beside = 0;
  for (const auto& p : plan.members) {
    struct stat dir;
    if (!p.name.empty() && fstat(p.at.fd(), &dir) == 0 && dir.st_dev == package.status().st_dev) {
      ++beside;
    }
  }
  // A few blocks more: a journaling filesystem reserves some for the
  // metadata of each write.
  return beside > 0 ? needed + L + (beside + 16) * block : needed;
}

void extract_run::check_room(const extract_plan& plan, bool with_journal,
                             std::int64_t reclaimable) const {
  const std::int64_t needed = room_needed(plan, with_journal);
  struct statvfs vfs;
  if (needed == 0 || fstatvfs(package.fd(), &vfs) != 0) return;
  // What df shows as available: ext4 counts blocks as free that not even
  // root may use.
  if (static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize) + reclaimable < needed) {
    throw kb_error(msg::needs_room(options.package_path, needed));
  }
}

// Before the first output exists, so that a kill at any later moment
// leaves a record of every temporary file, which the same command removes
// or finishes. Without one a failure could leave the package without its
// trailer and nothing to describe it: the run is refused instead.
void extract_run::start_journal(const extract_plan& plan) {
  if (!in_place || journal_is == journal_state::on_disk) return;
  if (!write_journal(package, journal)) {
    if (errno == ENOSPC)
      throw kb_error(msg::needs_room(options.package_path, room_needed(plan, true)));
    throw kb_error(msg::cannot_write_to(journal_path(options.package_path)));
  }
  journal_is = journal_state::on_disk;
}

void extract_run::finish(const extract_plan& plan) {
  if (!in_place) return;
  // What is left below the members taken belongs to members without a name.
  if (cut_made) {
    std::int64_t lowest = expected_length;
    for (const auto& p : plan.members) lowest = std::min(lowest, p.offset);
    if (lowest < package.length() && ftruncate(package.fd(), lowest) != 0) {
      say_reason(options.package_path, errno);
    }
    if (fsync(package.fd()) != 0) say_reason(options.package_path, errno);
  }
  // This run's, or one a crash left before any cut. One that stays would
  // tell later runs an extract was cut short: the same command removes it.
  finished = true;
  if (!remove_journal(package)) {
    throw kb_error(msg::journal_not_removed(options.package_path));
  }
}

}  // namespace kb
