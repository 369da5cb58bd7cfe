// The crash journal of an extract in place: what a later run needs to finish
// an extract that a kill or a power cut stopped after its first cut.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/error.h"
#include "ops/package.h"
#include "pac/pac.h"

namespace kb {

struct extract_journal {
  std::int64_t original_length = 0;  // the package's length before the first cut
  // Set once a handled failure has put the members back below this length
  // and is about to write their trailer; -1 before.
  std::int64_t restored_end = -1;
  std::string key_id;      // the key the package was verified with, or empty
  std::string hash_state;  // the signature's hash before the trailer (verified_package)
  std::string started_in;  // the directory the run was started from
  // The mark on the run's temporary files: random, so that no one who can
  // not read this journal can name it (empty in an older one, whose files
  // carry none).
  std::string mark;
  trailer_bytes trailer{};                             // as the package stored it (scrambled)
  std::array<std::string, PAC_MAX_MEMBERS> outputs{};  // planned output per slot, or empty
  std::array<std::string, PAC_MAX_MEMBERS> temps{};    // its temporary name beside it
};

std::string journal_path(const std::string& package_path);
// The journal's name in the package's directory, and the stem of its
// temporary names there.
std::string journal_name(const package_file& package);
std::string journal_temp_stem(const package_file& package);
bool journal_exists(const package_file& package);

// Writes the journal durably beside the package (a staged file: a name of
// its own, sync, rename over the journal's name, sync of the directory);
// false, with the reason on stderr, when it cannot be written.
bool write_journal(const package_file& package, const extract_journal& j);
// The bytes the journal takes on disk.
std::size_t journal_bytes(const extract_journal& j);

// Reads and validates the journal (never through a link, never a FIFO,
// within a bound), and fills index from its trailer; throws a clear message
// for a damaged or hostile one. Nothing in it is trusted beyond that: a
// resume checks its outputs against its own plan and, with a key, verifies
// the package it describes again.
extract_journal read_journal(const package_file& package, pac_index& index);

// The bytes of journals a kill left half-written under names of their own,
// or (remove) their removal.
std::int64_t journal_leftovers(const package_file& package, bool remove);

// Removes the journal durably, and what a run killed while writing it left;
// false, the reason on stderr, when it stays.
bool remove_journal(const package_file& package);

// The refusal of a journal that does not describe the package beside it.
kb_error mismatch(const std::string& package_path);

}  // namespace kb
