// The mover: takes members out of the package, piece by piece from its end
// backwards, into their outputs, checks each one's digest and puts it under
// its name. With an in-place part it cuts the package behind the pieces
// and, on a failure after the first cut, has it put the member in flight
// back; without one (a preserved run) the package is only read.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/messages.h"
#include "base/signals.h"
#include "ops/extract/in_place.h"
#include "ops/extract/plan.h"
#include "ops/output.h"
#include "ops/package.h"
#include "pac/hasher.h"

namespace kb {

class mover {
 public:
  // cuts: the in-place part, or none for a preserved run.
  mover(const package_file& package, const pac_index& index,
        std::optional<in_place_part> cuts = std::nullopt);

  // Runs work; on any failure puts the member in flight back (in place, once
  // something was cut) and rethrows the message with the line that says
  // what the package now holds.
  template <typename Work>
  void guarded(Work&& work);

  // A fresh run: the journal (in place), every member of plan, the end.
  void extract_all(const extract_plan& plan);
  // Extracts one member whose first `written` bytes are in output already
  // (a resume), or all of it into a new output.
  void extract_member(const planned_member& p, std::int64_t written = 0,
                      std::optional<output_file> output = std::nullopt);
  // A member whose bytes all left the package before a run was cut short:
  // the output holding them is checked and, when good, put under its name.
  void finish_out(const planned_member& p, output_file output);
  // A member whose bytes left the package before a run was cut short, and
  // that has nothing left to do (no name, or put out before a put-back).
  void already_out(const planned_member& p) { done_[p.slot] = true; }
  // A member whose bytes are gone: named, and left out.
  void lose(const planned_member& p);
  // A member a put-back found out before the run was cut short: done when
  // installed, the file under its name holding its digest; lost otherwise.
  void prove_installed(const planned_member& p, const std::optional<output_file>& installed);
  // Every member is out: the in-place part finishes the package.
  void finish(const extract_plan& plan);
  // The members named and left out so far.
  int lost() const { return lost_; }

 private:
  void fail(const std::string& message);
  void move_piece(const piece& p, bool last);
  void complete(const planned_member& p);
  void stop_if_interrupted() const;

  const package_file& package_;
  const pac_index& index_;
  std::optional<in_place_part> cuts_;
  const mode_t mode_;  // of every finished output
  done_slots done_{};
  member_in_flight current_;
  chunk_buffer buffer_{PAC_CHUNK_SIZE};
  piece_hasher hasher_;
  bool finished_ = false;  // every member out, the package at its final length
  int lost_ = 0;
};

template <typename Work>
void mover::guarded(Work&& work) {
  interrupt_guard guard(cuts_.has_value());
  if (auto failure = failure_of(work)) fail(*failure);
}

}  // namespace kb
