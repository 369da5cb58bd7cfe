// Extract: a fresh run plans the members, then moves them one by one; a
// package cut short by a kill or a power cut is resumed instead
// (resume.cc). Either way a failure after the first cut puts the member in
// flight back (restore.cc).
#include <cstdio>

#include "ops/extract_run.h"
#include "ops/signature.h"

namespace kb {
namespace {

bool has_type(const pac_index& index, std::string_view type) {
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    if (field(index.members[i].type) == type) return true;
  }
  return false;
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
                   const pac_index& index, const extract_journal& stale) {
  const extract_plan plan = plan_extract(options, dirs, index, package.status());
  remove_leftovers(plan, stale);
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
  extract_journal stale;
  if (!options.preserve && resume_extract(options, dirs, package, index, stale)) return;
  load_package_verified(options, package, index);
  note_unused_types(options, dirs, index);
  extract_fresh(options, dirs, package, index, stale);
}

}  // namespace kb
