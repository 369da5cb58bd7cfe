// The in-place part of an extract: what lets it cut the package behind the
// pieces taken and still lose nothing to a kill or a power cut. The journal
// is on disk before the first cut; a checkpoint syncs the output and only
// then cuts the package behind it; and a failure after the first cut puts
// the member in flight back and writes a trailer for what is left. A
// preserved run (-p) has no in-place part at all.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "base/io.h"
#include "ops/extract/journal.h"
#include "ops/extract/plan.h"
#include "ops/output.h"
#include "ops/package.h"
#include "pac/pieces.h"

namespace kb {

// Where the bytes of the member being extracted are: its first `written`
// bytes in its output, the rest still in the package (a piece is cut from
// it only once it is on stable storage in the output).
struct member_in_flight {
  const planned_member* member = nullptr;
  std::optional<output_file> output;
  std::int64_t written = 0;
  std::int64_t unsynced = 0;  // bytes written since the last checkpoint
};

// Slots whose data left the package for good.
using done_slots = std::array<bool, PAC_MAX_MEMBERS>;

// Throws the message of a failed write to the member's output, its reason
// (errno) on stderr.
[[noreturn]] void output_write_failed(const member_in_flight& m);

// The bytes a checkpoint moves (written, synced, then cut) with free_bytes
// free on the output's filesystem, at most wanted: half the room, so that
// write-then-cut never finds the flash full; and the most any checkpoint
// of a run moves there, which --plan counts in the run's peak.
std::int64_t checkpoint_with(std::int64_t free_bytes, std::int64_t wanted);
std::int64_t largest_checkpoint(std::int64_t free_bytes);

class in_place_part {
 public:
  // A fresh run: journal to be written before the first cut, the package
  // at length (the one it was verified at), nothing cut yet.
  in_place_part(const package_file& package, const pac_index& index, extract_journal journal,
                std::int64_t length);
  // A resume: the journal on disk already and the package cut to length.
  static in_place_part resumed(const package_file& package, const pac_index& index,
                               extract_journal journal, std::int64_t length);

  // What the run needs free on the package's filesystem before it changes
  // anything (see in_place.cc).
  std::int64_t room_needed(const extract_plan& plan) const;
  // Refuses, nothing changed, a run without that room, counting the
  // reclaimable bytes (leftovers it is about to remove) as free.
  void check_room(const extract_plan& plan, std::int64_t reclaimable) const;
  // Writes the journal of a fresh run; refuses the run, nothing changed,
  // without room for it.
  void start_journal(const extract_plan& plan);

  // The mark on the run's temporary files, which its journal records.
  const std::string& mark() const { return journal_.mark; }
  // The output of p was created under its temporary name: that name
  // reaches the disk, and room is made for it away from the package.
  void output_created(const planned_member& p);
  // A member starts moving into its output out.
  void member_started(int out);
  // The piece p was written at `at` in m's output: its write-back starts
  // and, at a checkpoint or after the member's last piece, the output is
  // synced and the package cut behind it.
  void piece_written(member_in_flight& m, const piece& p, std::int64_t at, bool last);
  // The output's filesystem is full while the package still holds the
  // piece in data: cuts behind the pieces already written and writes it
  // again; throws when there is nothing to cut.
  void make_room(member_in_flight& m, const piece& p, const unsigned char* data);

  bool cut_made() const { return cut_made_; }
  // After a failure before the first cut: a journal written for a cut
  // that never came goes.
  void drop_journal();
  // After a failure after the first cut: puts the member in flight back
  // into the package and writes a trailer for the slots not done; returns
  // the line that tells what the package now holds, or why it could not
  // be restored.
  std::string put_back(member_in_flight& m, const done_slots& done, chunk_buffer& buffer);
  // Every member is out: the package's final length reaches the disk
  // (settle), then the journal's removal.
  void settle(const extract_plan& plan);
  void remove_journal_at_end();

 private:
  enum class journal_state { not_yet, on_disk };

  void checkpoint(member_in_flight& m, std::int64_t cut_to);
  void cut_package(std::int64_t to);
  int restore_or_throw(member_in_flight& m, const done_slots& done, chunk_buffer& buffer);
  void put_member_back(member_in_flight& m, chunk_buffer& buffer);
  int write_trailer(const done_slots& done);
  kb_error cannot_restore(const char* why) const;

  const package_file& package_;
  const pac_index& index_;
  extract_journal journal_;
  journal_state journal_is_ = journal_state::not_yet;
  bool cut_made_ = false;
  std::int64_t expected_length_;  // the package's length as verified, or as this run left it
  std::int64_t checkpoint_bytes_ = 0;
};

}  // namespace kb
