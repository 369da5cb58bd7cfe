// What an extract writes, computed once before anything changes and the
// same for a fresh run, for the resume of one cut short and for --plan:
// the members in the order they leave the package, their destinations and
// temporary names, every refusal, and what the journal is filled with.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "base/staged_file.h"
#include "ops/extract/journal.h"
#include "ops/options.h"
#include "ops/package.h"
#include "pac/pac.h"

namespace kb {

struct planned_member {
  int slot = -1;
  std::int64_t offset = 0, size = 0;
  std::string dir;    // absolute destination directory; empty: the member has no name
  directory at;       // that directory, opened once as the run is planned
  std::string name;   // its output's name in dir
  std::string temp;   // the temporary name it is written under in dir
  std::string shown;  // its output as messages name it (relative when unmapped); for a
                      // member without a name, its mapped directory and "/", or empty
  std::string output() const { return dir == "/" ? "/" + name : dir + "/" + name; }
};

struct extract_plan {
  std::vector<planned_member> members;  // stored last first: the order they leave the package
  std::string started_in;               // the current directory, resolved
};

// Plans the members of index that options select, opening each directory
// they go to once. Refuses, changing nothing: a name that is not a plain
// file name, an output that is the package itself or one of its side files
// (its journal, the journal's temporary names, its signature), two members
// for one output, and (in place) members that share bytes.
extract_plan plan_extract(const pac_options& options, const dest_dir_map& dirs,
                          const pac_index& index, const package_file& package);

// The journal of a fresh run of plan on a package original_length long
// whose plain trailer is trailer; key_id and hash_state are what
// verifying it found (empty without a key).
extract_journal journal_for(const extract_plan& plan, const trailer_bytes& trailer,
                            std::int64_t original_length, const std::string& key_id,
                            const std::string& hash_state);

}  // namespace kb
