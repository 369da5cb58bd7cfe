// Extract: a fresh run plans the members, then moves them one by one; a
// package cut short by a kill or a power cut is resumed instead
// (resume.cc). Either way a failure after the first cut puts the member in
// flight back (restore.cc).
#include "ops/extract_run.h"
#include "ops/signature.h"

namespace kb {
namespace {

void extract_fresh(const pac_options& options, const dest_dir_map& dirs, package_file& package,
                   const pac_index& index) {
  const extract_plan plan = plan_extract(options, dirs, index, package.status());
  extract_run run(options, package, index);
  fill_journal(run.journal, plan, index, package.length(), options.verified_key);
  run.guarded([&] {
    for (const auto& p : plan.members) run.extract_member(p);
    run.finish(plan);
  });
}

}  // namespace

void extract_in_place(pac_options& options, const dest_dir_map& dirs, pac_index& index) {
  package_file package(options.package_path,
                       options.preserve ? package_use::reading : package_use::in_place);
  if (!options.preserve && resume_extract(options, dirs, package, index)) return;
  load_package_verified(options, package, index);
  extract_fresh(options, dirs, package, index);
}

}  // namespace kb
