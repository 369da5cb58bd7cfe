// The crash journal of an extract in place: what a later run needs to finish
// an extract that a kill or a power cut stopped after its first cut.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ops/pieces.h"

namespace kb {

struct extract_journal {
  std::int64_t original_length = 0;  // the package's length before the first cut
  // Set once a handled failure has put the members back below this length
  // and is about to write their trailer; -1 before.
  std::int64_t restored_end = -1;
  std::string key_id;       // the key the package was verified with, or empty
  trailer_bytes trailer{};  // as the package stored it (scrambled)
  std::array<std::string, PAC_MAX_MEMBERS> outputs{};  // planned output per slot, or empty
};

std::string journal_path(const std::string& package_path);
bool journal_exists(const std::string& package_path);

// Writes the journal durably beside the package (temporary file, sync,
// rename, sync of the directory); false when it cannot be written.
bool write_journal(const std::string& package_path, const extract_journal& j);

// Reads and validates the journal, and fills index from its trailer; throws
// a clear message for a damaged or hostile one.
extract_journal read_journal(const std::string& package_path, pac_index& index);

// Removes the journal durably.
void remove_journal(const std::string& package_path);

// Makes the creation or removal of a file in its directory durable.
void sync_parent_directory(const std::string& path);

// A run cut short: its journal and the package's length now. length is -1
// when the journal is stale (the package still whole): a fresh run follows.
struct resume_plan {
  std::int64_t length = -1;
  extract_journal journal;
};

// Reads the journal beside the package and fills index from it.
resume_plan plan_resume(const std::string& package_path, pac_index& index);

// The message for a package whose extract was cut short and that does not
// load any more.
kb_error cut_short(const std::string& package_path);

}  // namespace kb
