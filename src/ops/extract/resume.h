// The resume of an extract in place that a kill or a power cut stopped.
#pragma once

#include <optional>

#include "ops/extract/journal.h"
#include "ops/extract/plan.h"
#include "ops/options.h"
#include "ops/package.h"
#include "trust/signature.h"

namespace kb {

// With preview, the resume stops where it would start to act, every check
// made, and leaves there what it would finish (--plan).
struct resume_preview {
  pac_index index;
  extract_plan plan;
};

// Finishes an extract in place of package that a kill or a power cut
// stopped, by the journal beside it; false when there is none to finish and
// a fresh extract is to run on the package as it now is (a journal of a run
// stopped before its first cut is then left in stale). Refuses, changing
// nothing, a journal that sends members anywhere this command would not, a
// run that can not find the outputs it must finish, and, with a key, a
// package that does not verify when put together again. Returns, when it
// resumed (or previewed), what verifying found (empty without a key).
std::optional<verified_package> resume_extract(const pac_options& options, const dest_dir_map& dirs,
                                               package_file& package, extract_journal& stale,
                                               resume_preview* preview = nullptr);

}  // namespace kb
