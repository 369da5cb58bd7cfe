// Extract: a fresh run plans the members, then moves them one by one; a
// package cut short by a kill or a power cut is resumed instead
// (resume.cc). Either way a failure after the first cut puts the member in
// flight back (restore.cc).
#include <algorithm>
#include <cstdio>

#include "base/console.h"
#include "ops/extract_run.h"
#include "ops/plan_report.h"
#include "ops/signature.h"

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
    std::fprintf(stderr, "kestrelbind: no member has type '%s'; nothing is extracted\n",
                 o.type_filter.c_str());
  }
  for (const auto& d : dirs) {
    if (!has_type(index, d.type)) {
      std::fprintf(stderr, "kestrelbind: no member has type '%s'; its -d plays no part\n",
                   d.type.c_str());
    }
  }
}

void extract_fresh(const pac_options& options, const dest_dir_map& dirs, package_file& package,
                   const pac_index& index, const trailer_bytes& trailer,
                   const extract_journal& stale) {
  const extract_plan plan = plan_extract(options, dirs, index, package);
  extract_run run(options, package, index, package.loaded_length());
  fill_journal(run.journal, plan, trailer, package.loaded_length(), options);
  run.check_room(plan, true, leftover_bytes(plan, stale, package));
  remove_leftovers(plan, stale);
  if (!options.preserve) journal_leftovers(package, true);
  run.guarded([&] {
    run.start_journal(plan);
    for (const auto& p : plan.members) run.extract_member(p);
    run.finish(plan);
  });
}

// What the run would do, by the code that plans it, and nothing more: the
// package is opened and locked as the run would, verified and planned, and
// left as it was. With --json a refusal is a document too, so that a
// program reads one document whatever the answer.
void plan_only(pac_options& options, const dest_dir_map& dirs) {
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
    const pac_index index = load_package_verified(options, package, trailer.get());
    note_unused_types(options, dirs, index);
    const extract_plan plan = plan_extract(options, dirs, index, package);
    // The room the run itself asks for before it changes anything, by its
    // own reckoning, so that the plan and the run can not disagree.
    extract_run run(options, package, index, package.loaded_length());
    fill_journal(run.journal, plan, *trailer, package.loaded_length(), options);
    const run_room asked{run.room_needed(plan, true), leftover_bytes(plan, stale, package)};
    printed = true;
    print_plan(options, index, plan, package, asked);
  } catch (const kb_error& e) {
    if (options.json && !printed) print_plan_refusal(options, e.what());
    throw;
  }
}

}  // namespace

void extract_in_place(pac_options& options, const dest_dir_map& dirs) {
  if (options.plan) return plan_only(options, dirs);
  check_dest_dirs(dirs);
  package_file package(options.package_path,
                       options.preserve ? package_use::reading : package_use::in_place);
  extract_journal stale;
  if (!options.preserve && resume_extract(options, dirs, package, stale)) return;
  auto trailer = std::make_unique<trailer_bytes>();
  const pac_index index = load_package_verified(options, package, trailer.get());
  note_unused_types(options, dirs, index);
  extract_fresh(options, dirs, package, index, *trailer, stale);
}

}  // namespace kb
