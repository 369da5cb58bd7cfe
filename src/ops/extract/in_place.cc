// The in-place part: the package is cut behind the pieces taken, so that
// the package and the finished outputs never hold more bytes together than
// the package held at the start plus one checkpoint, which is what lets a
// nearly full flash unpack its firmware.
//
// A piece leaves the package only once it is on stable storage in its
// output: pieces are written, the output synced, then the package cut and
// the cut synced too, a checkpoint of several pieces at a time. The cut is
// synced before the next byte is written anywhere, so that blocks it freed
// can not be given to an output while a power cut could still roll the cut
// back and find them in the package. No piece is ever cut before it is
// written: a run asks for a piece's room before it starts, and one that
// finds the room gone stops and puts its member back.
//
// The put-back is the inverse, kept beside the cuts it undoes: after a
// handled failure or a stop request that came after the first cut, the
// member being extracted goes back into the package and a new trailer
// describes what the package now holds, so that the same command can run
// again and finish the job.
#include "ops/extract/in_place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "base/console.h"
#include "base/messages.h"
#include "pac/codec.h"
#include "pac/digest.h"

namespace kb {
namespace {

// A member's first checkpoint (two syncs) moves this many bytes, each next
// one twice as many up to the largest, so that a large member costs few
// syncs; fewer when the output's filesystem has less room, since
// write-then-cut needs a checkpoint's room.
constexpr std::int64_t FIRST_CHECKPOINT = 8 * PIECE_BYTES;
constexpr std::int64_t LARGEST_CHECKPOINT = 64 * PIECE_BYTES;

std::int64_t checkpoint_for(int output, std::int64_t wanted) {
  struct statvfs vfs;
  if (fstatvfs(output, &vfs) != 0) return PIECE_BYTES;
  const auto free_bytes = static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
  return checkpoint_with(free_bytes, wanted);
}

// A hint only: what a crash may lose is still bounded by the syncs.
void start_write_back(int fd, std::int64_t at, std::size_t length) {
  sync_file_range(fd, at, static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

}  // namespace

void output_write_failed(const member_in_flight& m) {
  say_reason(m.member->shown, errno);
  throw kb_error(msg::write_error());
}

std::int64_t checkpoint_with(std::int64_t free_bytes, std::int64_t wanted) {
  return std::clamp<std::int64_t>(free_bytes / 2, PIECE_BYTES, wanted);
}

std::int64_t largest_checkpoint(std::int64_t free_bytes) {
  return checkpoint_with(free_bytes, LARGEST_CHECKPOINT);
}

in_place_part::in_place_part(const package_file& package, const pac_index& index,
                             extract_journal journal, std::int64_t length)
    : package_(package), index_(index), journal_(std::move(journal)), expected_length_(length) {}

in_place_part in_place_part::resumed(const package_file& package, const pac_index& index,
                                     extract_journal journal, std::int64_t length) {
  in_place_part part(package, index, std::move(journal), length);
  part.journal_is_ = journal_state::on_disk;
  part.cut_made_ = true;
  return part;
}

// ---- before the first cut ----

// What an extract in place needs free on the package's filesystem before
// it changes anything: its journal (twice: a put-back writes a new copy
// beside it) and, for outputs beside the package, one piece and a block
// per output (a member's last block as a file of its own) and a few, so
// that every piece is written before the package lets it go.
std::int64_t in_place_part::room_needed(const extract_plan& plan) const {
  struct statvfs vfs;
  if (fstatvfs(package_.fd(), &vfs) != 0) return 0;
  const auto block = static_cast<std::int64_t>(vfs.f_frsize);
  const auto round_up = [&](std::int64_t n) { return (n + block - 1) / block * block; };
  const std::int64_t needed = 2 * round_up(std::int64_t(journal_bytes(journal_)));
  int beside = 0;
  for (const auto& p : plan.members) {
    struct stat dir;
    if (!p.name.empty() && fstat(p.at.fd(), &dir) == 0 && dir.st_dev == package_.status().st_dev) {
      ++beside;
    }
  }
  // A few blocks more: a journaling filesystem reserves some for the
  // metadata of each write.
  return beside > 0 ? needed + PIECE_BYTES + (beside + 16) * block : needed;
}

void in_place_part::check_room(const extract_plan& plan, std::int64_t reclaimable) const {
  const std::int64_t needed = room_needed(plan);
  struct statvfs vfs;
  if (needed == 0 || fstatvfs(package_.fd(), &vfs) != 0) return;
  // What df shows as available: ext4 counts blocks as free that not even
  // root may use.
  if (static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize) + reclaimable < needed) {
    throw kb_error(msg::needs_room(package_.path(), needed));
  }
}

// Before the first output exists, so that a kill at any later moment
// leaves a record of every temporary file, which the same command removes
// or finishes. Without one a failure could leave the package without its
// trailer and nothing to describe it: the run is refused instead.
void in_place_part::start_journal(const extract_plan& plan) {
  if (journal_is_ == journal_state::on_disk) return;
  if (!write_journal(package_, journal_)) {
    if (errno == ENOSPC) throw kb_error(msg::needs_room(package_.path(), room_needed(plan)));
    throw kb_error(msg::cannot_write_to(journal_path(package_.path())));
  }
  journal_is_ = journal_state::on_disk;
}

// ---- the cuts ----

void in_place_part::output_created(const planned_member& p) {
  fsync(p.at.fd());  // a crash from here on finds it where the journal says
  // Beside the package its room comes back as the package shrinks;
  // elsewhere the new file needs all of its own.
  struct stat dir;
  if (fstat(p.at.fd(), &dir) == 0 && dir.st_dev != package_.status().st_dev) {
    // Only for a member sure to come out good: its bytes in the package
    // have its digest, and no one else can change them since. Else it could
    // fail once the installed one is gone, leaving neither.
    make_room_for(p.at, p.name, p.size + PIECE_BYTES, [&] {
      chunk_buffer buffer(PAC_CHUNK_SIZE);
      char digest[MD5_TEXT_SIZE];
      return !package_.others_can_write() &&
             md5_member_hex(package_.fd(), p.offset, p.size, buffer.data(), PAC_CHUNK_SIZE,
                            digest) == 0 &&
             index_.members[p.slot].md5 == digest;
    });
  }
}

void in_place_part::member_started(int out) {
  checkpoint_bytes_ = checkpoint_for(out, FIRST_CHECKPOINT);
}

void in_place_part::piece_written(member_in_flight& m, const piece& p, std::int64_t at, bool last) {
  // Write-back starts now, while the next pieces are read and hashed, so
  // that the checkpoint's sync waits for the last of them only.
  start_write_back(m.output->fd(), at, p.length);
  if (last || m.unsynced >= checkpoint_bytes_) checkpoint(m, p.start);
}

// With none to cut, the run stops and puts the member back: cutting the
// piece before it is written would leave it in memory alone, where a kill
// or a power cut loses it, and the run asked for a piece's room before it
// began.
void in_place_part::make_room(member_in_flight& m, const piece& p, const unsigned char* data) {
  const int out = m.output->fd(), err = errno;
  ftruncate(out, m.written);  // whatever part of the piece got there
  if (m.unsynced > 0) {
    checkpoint(m, p.start + static_cast<std::int64_t>(p.length));
    if (write_at(out, data, p.length, m.written)) return;
    ftruncate(out, m.written);
  }
  errno = err;
  output_write_failed(m);
}

// The output is on stable storage up to here; the package lets it go.
void in_place_part::checkpoint(member_in_flight& m, std::int64_t cut_to) {
  if (!m.output->sync()) output_write_failed(m);
  m.unsynced = 0;
  cut_package(cut_to);
  checkpoint_bytes_ =
      checkpoint_for(m.output->fd(), std::min(2 * checkpoint_bytes_, LARGEST_CHECKPOINT));
}

void in_place_part::cut_package(std::int64_t to) {
  const std::string& path = package_.path();
  if (journal_is_ != journal_state::on_disk) throw kb_error(msg::write_error());
  const std::int64_t length = package_.length();
  // Only this run changes the package's length; anything else is someone
  // else's hand on it, and the run stops.
  if (length != expected_length_) throw kb_error(msg::changed_while_extracted(path));
  if (to >= length) return;  // a cut never lengthens it
  // A cut that fails only keeps the package longer; the run goes on.
  if (ftruncate(package_.fd(), to) != 0) {
    say_reason(path, errno, "it keeps its length, the extract goes on");
    return;
  }
  cut_made_ = true;
  expected_length_ = to;
  if (fsync(package_.fd()) != 0) {
    say_reason(path, errno);
    throw kb_error(msg::write_error());
  }
}

void in_place_part::settle(const extract_plan& plan) {
  // What is left below the members taken belongs to members without a name.
  if (cut_made_) {
    std::int64_t lowest = expected_length_;
    for (const auto& p : plan.members) lowest = std::min(lowest, p.offset);
    if (lowest < package_.length() && ftruncate(package_.fd(), lowest) != 0) {
      say_reason(package_.path(), errno);
    }
    if (fsync(package_.fd()) != 0) say_reason(package_.path(), errno);
  }
}

void in_place_part::remove_journal_at_end() {
  // This run's, or one a crash left before any cut. One that stays would
  // tell later runs an extract was cut short: the same command removes it.
  if (!remove_journal(package_)) throw kb_error(msg::journal_not_removed(package_.path()));
}

// ---- the put-back ----

void in_place_part::drop_journal() {
  if (journal_is_ == journal_state::on_disk) remove_journal(package_);
}

std::string in_place_part::put_back(member_in_flight& m, const done_slots& done,
                                    chunk_buffer& buffer) {
  try {
    int kept = restore_or_throw(m, done, buffer);
    // A verified package no longer matches its signature once cut; its
    // journal keeps what a later run needs to verify it again.
    if (journal_.key_id.empty()) remove_journal(package_);
    return msg::now_holds(package_.path(), kept);
  } catch (const kb_error& e) {
    // Every step below leaves what a kill there would: the journal still
    // describes it, and the same command finishes the extract forward.
    if (journal_is_ != journal_state::on_disk) return e.what();
    return e.what() + msg::left_for_the_same_command(package_.path());
  }
}

kb_error in_place_part::cannot_restore(const char* why) const {
  note(package_.path() + ": " + why);
  return kb_error(msg::cannot_restore(package_.path(), why));
}

int in_place_part::restore_or_throw(member_in_flight& m, const done_slots& done,
                                    chunk_buffer& buffer) {
  if (m.output && !done[m.member->slot]) put_member_back(m, buffer);
  return write_trailer(done);
}

// Returns the member's pieces to the package in stored order, from the
// output's end back to its start. Each piece is on stable storage in the
// package before the output lets it go, and each cut of the output is on
// stable storage before the next piece is written, so that whatever fails
// (no room: the member's output takes more blocks than it did in the
// package) leaves the package cut where the output takes over, a state the
// journal resumes forward.
void in_place_part::put_member_back(member_in_flight& m, chunk_buffer& buffer) {
  const int pkg = package_.fd(), out = m.output->fd();
  const planned_member& p = *m.member;
  // A read that ends early leaves errno 0, which says nothing.
  auto failed = [&] {
    return cannot_restore(errno != 0 ? std::strerror(errno) : "unexpected end of file");
  };
  // Pieces written since the last checkpoint are in the package still.
  const std::int64_t out_of_package = p.offset + p.size - expected_length_;
  std::int64_t written = std::clamp<std::int64_t>(out_of_package, 0, m.written);
  if (ftruncate(out, written) != 0 || fsync(out) != 0) throw failed();
  const std::int64_t end = p.offset + p.size - written;
  if (ftruncate(pkg, end) != 0) throw failed();
  expected_length_ = end;
  piece_walk walk(p.offset, p.size, 0, written, piece_walk::stored_order);
  for (piece pc; walk.next(pc);) {
    if (!read_at(out, buffer.data(), pc.length, pc.at)) throw failed();
    crypt_encode(buffer.data(), pc.length);
    if (!write_at(pkg, buffer.data(), pc.length, pc.start) || fsync(pkg) != 0) {
      const int err = errno;
      ftruncate(pkg, pc.start);  // the output holds the piece still
      throw cannot_restore(std::strerror(err));
    }
    expected_length_ = pc.start + static_cast<std::int64_t>(pc.length);
    if (ftruncate(out, pc.at) != 0 || fsync(out) != 0) throw failed();
  }
  m.output->discard();
  m = member_in_flight{};
}

// Writes a trailer holding the members not yet in their outputs, in their
// slot order, each slot as the package's trailer stored it, right behind
// the last of their data; returns their number.
int in_place_part::write_trailer(const done_slots& done) {
  const int pkg = package_.fd();
  std::vector<int> left;
  std::int64_t data_end = 0;
  for (std::size_t i = 0; i < index_.members.size(); ++i) {
    if (done[i]) continue;
    data_end = std::max(data_end, index_.members[i].offset + index_.members[i].size);
    left.push_back(static_cast<int>(i));
  }
  const int kept = static_cast<int>(left.size());
  // Anything behind the last member left is data of slots already done.
  if (data_end > expected_length_) throw cannot_restore("members are missing");
  // Until the trailer is whole, the journal says where the members end.
  // (On a disk too full for that, the trailer is written all the same.)
  if (journal_is_ == journal_state::on_disk) {
    journal_.restored_end = data_end;
    if (ftruncate(pkg, data_end) != 0 || fsync(pkg) != 0) {
      throw cannot_restore(std::strerror(errno));
    }
    write_journal(package_, journal_);
  }
  auto raw = std::make_unique<trailer_bytes>(journal_.trailer);
  crypt_decode(raw->data(), raw->size());
  *raw = keep_slots(*raw, left);
  crypt_encode(raw->data(), raw->size());
  expected_length_ = data_end;
  if (ftruncate(pkg, data_end) != 0 || !write_at(pkg, raw->data(), raw->size(), data_end) ||
      fsync(pkg) != 0) {
    const int err = errno;
    ftruncate(pkg, data_end);  // a part of a trailer is no length a resume knows
    throw cannot_restore(std::strerror(err));
  }
  crypt_decode(raw->data(), raw->size());
  try {
    read_index(*raw, data_end + static_cast<std::int64_t>(PAC_INDEX_SIZE));
  } catch (const kb_error&) {
    throw cannot_restore("what is left does not form a valid package");
  }
  return kept;
}

}  // namespace kb
