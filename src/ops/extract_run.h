// The stages of an extract, over one shared record of where every byte is:
// the mover (mover.cc) takes pieces from the package's end and writes them
// to the member's output, syncing and cutting at checkpoints; the restorer
// (restore.cc) puts the member in flight back and writes a trailer for what
// is left. A fresh run and a resume (extract.cc, resume.cc) compose them.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/io.h"
#include "base/messages.h"
#include "base/signals.h"
#include "ops/extract_plan.h"
#include "ops/hasher.h"
#include "ops/journal.h"
#include "ops/output.h"
#include "ops/package.h"
#include "ops/pieces.h"

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

enum class journal_state { not_yet, on_disk };

struct extract_run {
  // length: the package's as this run found it, the one it acts on.
  extract_run(const pac_options& options, package_file& package, const pac_index& index,
              std::int64_t length);

  const pac_options& options;
  package_file& package;
  const pac_index& index;
  const bool in_place;
  const mode_t mode;  // of every finished output
  std::int64_t checkpoint_bytes = 0;
  extract_journal journal;
  journal_state journal_is = journal_state::not_yet;
  bool cut_made = false;
  std::array<bool, PAC_MAX_MEMBERS> done{};  // slots whose data left the package for good
  member_in_flight current;
  chunk_buffer buffer{PAC_CHUNK_SIZE};
  piece_hasher hasher;
  std::int64_t expected_length;  // the package's length as verified, or as this run left it
  bool finished = false;         // every member out, the package at its final length
  int lost = 0;

  // ---- the mover ----

  // Runs work; on any failure puts the member in flight back (in place, once
  // something was cut) and rethrows the message with the line that says
  // what the package now holds.
  template <typename Work>
  void guarded(Work&& work);
  // Extracts one member whose first `written` bytes are in output already
  // (a resume), or all of it into a new output.
  void extract_member(const planned_member& p, std::int64_t written = 0,
                      std::optional<output_file> output = std::nullopt);
  // A member whose bytes all left the package before a run was cut short:
  // the output holding them is checked and, when good, put under its name.
  void finish_out(const planned_member& p, output_file output);
  // A member whose bytes are gone: named, and left out.
  void lose(const planned_member& p);
  // A member a put-back found out before the run was cut short: done when
  // installed, the file under its name holding its digest; lost otherwise.
  void prove_installed(const planned_member& p, const std::optional<output_file>& installed);
  // The package's final length and the journal's removal reach the disk.
  void finish(const extract_plan& plan);
  // Refuses, nothing changed, an extract in place without the room it needs
  // on the package's filesystem (see mover.cc), counting the bytes of
  // leftovers it is about to remove as free.
  std::int64_t room_needed(const extract_plan& plan, bool with_journal) const;
  void check_room(const extract_plan& plan, bool with_journal, std::int64_t reclaimable = 0) const;
  // Writes the journal of a fresh run in place; refuses the run, nothing
  // changed, without room for it and for the pieces.
  void start_journal(const extract_plan& plan);
  void stop_if_interrupted() const;

  // ---- the restorer ----

  // Puts the package back together after a failure that came after the
  // first cut; returns the line that tells what it now holds, or why it
  // could not be restored.
  std::string restore_package();

 private:
  void fail(const std::string& message);
  void move_piece(const piece& p, bool last);
  void make_room(const piece& p);
  void checkpoint(std::int64_t cut_to);
  void cut_package(std::int64_t to);
  void complete(const planned_member& p);
  [[noreturn]] void write_failed() const;
  int restore_or_throw();
  void put_member_back();
  int write_trailer();
  kb_error cannot_restore(const char* why) const;
};

template <typename Work>
void extract_run::guarded(Work&& work) {
  interrupt_guard guard(in_place);
  try {
    work();
  } catch (const kb_error& e) {
    fail(e.what());
  } catch (const std::bad_alloc&) {
    fail(msg::out_of_memory());
  } catch (const std::exception& e) {
    fail(msg::unexpected_failure(e.what()));
  }
}

// Finishes an extract in place of package that a kill or a power cut
// stopped, by the journal beside it; false when there is none to finish and
// a fresh extract is to run on the package as it now is (a journal of a run
// stopped before its first cut is then left in stale). Refuses, changing
// nothing, a journal that sends members anywhere this command would not, a
// run that can not find the outputs it must finish, and, with a key, a
// package that does not verify when put together again.
//
// With preview, the resume stops where it would start to act, every check
// made, and leaves there what it would finish (--plan).
struct resume_preview {
  pac_index index;
  extract_plan plan;
};
bool resume_extract(pac_options& options, const dest_dir_map& dirs, package_file& package,
                    extract_journal& stale, resume_preview* preview = nullptr);

// The temporary files of a run stopped before its first cut (its stale
// journal) hold nothing the package does not; they go, where this command
// would have made them, once the fresh run has verified the package.
void remove_leftovers(const extract_plan& plan, const extract_journal& stale);
// The bytes on disk of those leftovers and of the stale journal.
std::int64_t leftover_bytes(const extract_plan& plan, const extract_journal& stale,
                            const package_file& package);

// The bytes a checkpoint moves (written, synced, then cut) with free_bytes
// free on the output's filesystem, at most wanted: half the room, so that
// write-then-cut never finds the flash full; and the most any checkpoint
// of a run moves there, which --plan counts in the run's peak.
std::int64_t checkpoint_with(std::int64_t free_bytes, std::int64_t wanted);
std::int64_t largest_checkpoint(std::int64_t free_bytes);

// The lines extract prints of a member.
void report_extracted(const pac_member& m);

// Sets every journal field that the plan and the package give.
void fill_journal(extract_journal& j, const extract_plan& plan, const trailer_bytes& trailer,
                  std::int64_t original_length, const pac_options& options);

}  // namespace kb
