// The mover: members leave the package from its end backwards, each member
// from its own end backwards (the stored order, pac/pieces.h), each piece
// hashed while it is written, each member checked whole before it is put
// under its name. Where every byte is while the package is cut behind
// them is the in-place part's to keep (in_place.cc).
#include "ops/extract/mover.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "base/console.h"
#include "base/messages.h"
#include "base/progress.h"
#include "pac/codec.h"
#include "pac/digest.h"

namespace kb {
namespace {

void report_extracted(const pac_member& m) {
  say(msg::extracted(m.name, m.size_text, m.md5, m.version));
}

}  // namespace

mover::mover(const package_file& package, const pac_index& index, std::optional<in_place_part> cuts)
    : package_(package),
      index_(index),
      cuts_(std::move(cuts)),
      mode_(output_mode(package.status())) {}

void mover::stop_if_interrupted() const {
  if (interrupt_requested()) throw kb_error(msg::extract_interrupted(package_.path()));
}

void mover::fail(const std::string& message) {
  if (finished_) throw kb_error(message);  // every member is out: nothing to put back
  if (!cuts_ || !cuts_->cut_made()) {
    if (current_.output) current_.output->discard();
    if (cuts_) cuts_->drop_journal();  // the package is as it was
    throw kb_error(message);
  }
  signal_block blocked;
  throw kb_error(message + cuts_->put_back(current_, done_, buffer_));
}

void mover::extract_all(const extract_plan& plan) {
  guarded([&] {
    if (cuts_) cuts_->start_journal(plan);
    for (const auto& p : plan.members) extract_member(p);
    finish(plan);
  });
}

void mover::extract_member(const planned_member& p, std::int64_t written,
                           std::optional<output_file> output) {
  stop_if_interrupted();
  current_ = member_in_flight{};
  current_.member = &p;
  if (p.name.empty() && !p.shown.empty()) {  // mapped: it was meant to be installed
    say_reason(p.shown, EISDIR);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
  if (p.name.empty()) {
    done_[p.slot] = true;  // its data goes with the next cut
    return;
  }
  if (!output) {
    output = create_output(p.at, p.name, p.temp, p.shown, !cuts_, cuts_ ? cuts_->mark() : "");
    if (cuts_) cuts_->output_created(p);
  }
  current_.output = std::move(output);
  const int out = current_.output->fd();
  hasher_.reset();
  if (written > 0) {
    // What a run cut short wrote is digested from the output itself.
    if (ftruncate(out, written) != 0 || fsync(out) != 0) output_write_failed(current_);
    piece_walk walk(p.offset, p.size, 0, written, piece_walk::member_order);
    for (piece pc; walk.next(pc);) {
      if (!read_at(out, buffer_.data(), pc.length, pc.at)) output_write_failed(current_);
      hasher_.begin(buffer_.data(), pc.length);
      hasher_.wait();
    }
  }
  current_.written = written;
  if (cuts_) cuts_->member_started(out);
  {
    const pac_member& m = index_.members[p.slot];
    progress bar(m.name, p.size);
    bar.advance(written);
    piece_walk walk(p.offset, p.size, written, p.size, piece_walk::member_order);
    for (piece pc; walk.next(pc);) {
      move_piece(pc, walk.done());
      bar.advance(static_cast<std::int64_t>(pc.length));
      if (!walk.done()) stop_if_interrupted();
    }
  }
  complete(p);
}

void mover::move_piece(const piece& p, bool last) {
  if (!read_at(package_.fd(), buffer_.data(), p.length, p.start)) {
    stop_if_interrupted();  // a stop that came while the read waited
    say_reason(package_.path(), errno);
    throw kb_error(msg::read_error());
  }
  crypt_decode(buffer_.data(), p.length);
  hasher_.begin(buffer_.data(), p.length);
  hash_wait hashed(hasher_);
  if (!write_at(current_.output->fd(), buffer_.data(), p.length, current_.written)) {
    stop_if_interrupted();
    if (errno != ENOSPC || !cuts_) output_write_failed(current_);
    cuts_->make_room(current_, p, buffer_.data());
  }
  const std::int64_t at = current_.written;
  current_.written += static_cast<std::int64_t>(p.length);
  current_.unsynced += static_cast<std::int64_t>(p.length);
  if (cuts_) cuts_->piece_written(current_, p, at, last);
}

// The member is whole in its output: synced, checked, and only then put
// under its name. A member that fails its digest is put back like any
// member in progress, so that no retry ever ends with it damaged under its
// name, and what was installed there stays.
void mover::complete(const planned_member& p) {
  const pac_member& m = index_.members[p.slot];
  if (!current_.output->sync()) output_write_failed(current_);
  char digest[MD5_TEXT_SIZE];
  hasher_.digest_hex(digest);
  if (m.md5 != digest) throw kb_error(msg::checksum_not_right(p.shown, digest));
  if (!current_.output->commit(mode_)) {
    say_reason(p.shown, errno);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
  done_[p.slot] = true;
  current_ = member_in_flight{};
  report_extracted(m);
}

void mover::finish_out(const planned_member& p, output_file output) {
  current_ = member_in_flight{};
  current_.member = &p;
  done_[p.slot] = true;  // whatever it holds, the package holds none of it
  const pac_member& m = index_.members[p.slot];
  char digest[MD5_TEXT_SIZE] = {};
  if (md5_fd_hex(output.fd(), digest) != 0 || m.md5 != digest) {
    output.discard();
    return lose(p);
  }
  if (!output.sync() || !output.commit(mode_)) {
    say_reason(p.shown, errno);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
  current_ = member_in_flight{};
  report_extracted(m);
}

void mover::prove_installed(const planned_member& p, const std::optional<output_file>& installed) {
  char digest[MD5_TEXT_SIZE] = {};
  if (!installed || md5_fd_hex(installed->fd(), digest) != 0 ||
      index_.members[p.slot].md5 != digest) {
    return lose(p);
  }
  done_[p.slot] = true;
}

void mover::lose(const planned_member& p) {
  done_[p.slot] = true;
  ++lost_;
  current_ = member_in_flight{};
  say(msg::damaged_and_left_out(p.output()));
}

void mover::finish(const extract_plan& plan) {
  if (cuts_) cuts_->settle(plan);
  finished_ = true;
  if (cuts_) cuts_->remove_journal_at_end();
}

}  // namespace kb
