// Extract: a package cut short by a kill or a power cut is resumed
// (resume.cc); otherwise the plan is made and the mover takes the members
// out, with the in-place part cutting the package behind them unless it is
// preserved (-p). --plan stops after the plan, every check made.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "base/console.h"
#include "ops/extract/in_place.h"
#include "ops/extract/mover.h"
#include "ops/extract/plan_report.h"
#include "ops/extract/resume.h"
#include "ops/ops.h"
#include "ops/selection.h"
#include "trust/signature.h"

namespace kb {
namespace {

bool has_type(const pac_index& index, std::string_view type) {
  return std::any_of(index.members.begin(), index.members.end(),
                     [&](const pac_member& m) { return m.type == type; });
}

// A typo in -t or -d would otherwise pass in silence: stdout and the status
// stay what scripts expect, a person reads the word on stderr.
void note_unused_types(const pac_options& o, const dest_dir_map& dirs, const pac_index& index) {
  if (!o.type_filter.empty() && !has_type(index, o.type_filter)) {
    note("no member has type '" + o.type_filter + "'; nothing is extracted");
  }
  for (const auto& d : dirs) {
    if (!has_type(index, d.type)) note("no member has type '" + d.type + "'; its -d plays no part");
  }
}

// The bytes on disk of the leftovers of a run stopped before its first
// cut (stale: its journal) and of that journal, which the fresh run
// removes before it asks for room.
std::int64_t leftover_bytes(const extract_plan& plan, const extract_journal& stale,
                            const package_file& package) {
  std::int64_t bytes = journal_leftovers(package, false);
  if (stale.original_length == 0) return bytes;  // no stale journal
  struct stat st;
  if (fstatat(package.dir().fd(), journal_name(package).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    bytes += st.st_blocks * 512;
  }
  for (const auto& p : plan.members) {
    if (p.name.empty() || stale.outputs[p.slot] != p.output()) continue;
    // Only what remove_leftovers will remove: a file of this package's run.
    auto left = staged_file::adopt(p.at, stale.temps[p.slot], p.name, stale.mark);
    if (left && fstat(left->fd(), &st) == 0) bytes += st.st_blocks * 512;
  }
  return bytes;
}

// The temporary files of a run stopped before its first cut hold nothing
// the package does not; they go, where this command would have made them,
// once the fresh run has verified the package.
void remove_leftovers(const extract_plan& plan, const extract_journal& stale) {
  for (const auto& p : plan.members) {
    if (p.name.empty() || stale.outputs[p.slot] != p.output()) continue;
    if (auto left = staged_file::adopt(p.at, stale.temps[p.slot], p.name, stale.mark))
      left->discard();
  }
}

in_place_part fresh_in_place(const package_file& package, const verified_index& loaded,
                             const extract_plan& plan, const trailer_bytes& trailer) {
  const std::int64_t length = package.loaded_length();
  const verified_package& v = loaded.verified;
  return in_place_part(package, loaded.index,
                       journal_for(plan, trailer, length, v.key_id, v.hash_state), length);
}

void extract_fresh(const pac_options& options, const dest_dir_map& dirs, package_file& package,
                   const verified_index& loaded, const trailer_bytes& trailer,
                   const extract_journal& stale) {
  const extract_plan plan = plan_extract(options, dirs, loaded.index, package);
  std::optional<in_place_part> cuts;
  if (!options.preserve) {
    cuts.emplace(fresh_in_place(package, loaded, plan, trailer));
    cuts->check_room(plan, leftover_bytes(plan, stale, package));
    remove_leftovers(plan, stale);
    journal_leftovers(package, true);
  }
  mover(package, loaded.index, std::move(cuts)).extract_all(plan);
}

// What the run would do, by the code that plans it, and nothing more: the
// package is opened and locked as the run would, verified and planned, and
// left as it was. With --json a refusal is a document too, so that a
// program reads one document whatever the answer.
void plan_only(const pac_options& options, const dest_dir_map& dirs) {
  bool printed = false;
  try {
    check_dest_dirs(dirs);
    package_file package(options.package_path,
                         options.preserve ? package_use::reading : package_use::in_place);
    // A run cut short: the resume's own checks, every one it makes before
    // it acts (the journal, the outputs, with a key the signature).
    extract_journal stale;
    resume_preview resumed;
    if (!options.preserve && resume_extract(options, dirs, package, stale, &resumed)) {
      printed = true;
      return print_plan(options, resumed.index, resumed.plan, package, run_room{});
    }
    auto trailer = std::make_unique<trailer_bytes>();
    const verified_index loaded = load_package_verified(options, package, trailer.get());
    note_unused_types(options, dirs, loaded.index);
    const extract_plan plan = plan_extract(options, dirs, loaded.index, package);
    // The room the run itself asks for before it changes anything, by its
    // own reckoning, so that the plan and the run can not disagree.
    const std::int64_t needed =
        options.preserve ? 0 : fresh_in_place(package, loaded, plan, *trailer).room_needed(plan);
    const run_room asked{needed, leftover_bytes(plan, stale, package)};
    printed = true;
    print_plan(options, loaded.index, plan, package, asked);
  } catch (const kb_error& e) {
    if (options.json && !printed) print_plan_refusal(options, e.what());
    throw;
  }
}

}  // namespace

verified_package extract_in_place(const pac_options& options, const dest_dir_map& dirs) {
  if (options.plan) {
    plan_only(options, dirs);
    return {};
  }
  check_dest_dirs(dirs);
  package_file package(options.package_path,
                       options.preserve ? package_use::reading : package_use::in_place);
  extract_journal stale;
  if (!options.preserve) {
    if (auto resumed = resume_extract(options, dirs, package, stale)) return *resumed;
  }
  auto trailer = std::make_unique<trailer_bytes>();
  const verified_index loaded = load_package_verified(options, package, trailer.get());
  note_unused_types(options, dirs, loaded.index);
  extract_fresh(options, dirs, package, loaded, *trailer, stale);
  return loaded.verified;
}

}  // namespace kb
