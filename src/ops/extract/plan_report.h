// --plan: what an extract would do, told before anything changes. The
// members and every refusal come from plan_extract, the very code that
// plans the real run; this adds the room each filesystem needs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ops/extract/plan.h"
#include "ops/package.h"

namespace kb {

// What an extract in place asks for on the package's filesystem before it
// changes anything (0 when preserved), and what it may reclaim there.
struct run_room {
  std::int64_t needed = 0, reclaimable = 0;
};

struct filesystem_room {
  std::string path;  // the package, or the first destination directory on it
  dev_t device = 0;
  std::int64_t needs = 0, free = 0;
  // "full": every piece is on stable storage in its output before it is
  // cut; "too_little": the run would be refused or fail.
  const char* safety = "full";
};

// The bytes the run needs at its peak on each filesystem it touches
// (outputs rounded to the filesystem's blocks, less the installed files
// they replace, one checkpoint and the journal beside the package, an
// installed file that can not be removed first) against the bytes free.
std::vector<filesystem_room> plan_room(const pac_options& options, const extract_plan& plan,
                                       const package_file& package, const run_room& asked);

// Prints the plan (console lines, or with options.json one JSON document);
// throws, after it, when a filesystem has too little room for the run:
// with the run's own refusal when the package's has less than it asks for.
void print_plan(const pac_options& options, const pac_index& index, const extract_plan& plan,
                const package_file& package, const run_room& asked);

// With --json, the document of a plan refused before it was made: the
// package, go_ahead false and the refusal's message as one line.
void print_plan_refusal(const pac_options& options, const std::string& message);

}  // namespace kb
