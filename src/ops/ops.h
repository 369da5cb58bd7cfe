// The package operations: make, extract in place, read one member and check,
// with the options record and destination map that the command line fills
// for them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pac/pac.h"

namespace kb {

enum pac_mode : int {
  MODE_EXTRACT = 0,
  MODE_MAKE = 1,
  MODE_LIST = 2,
  MODE_NONE = 3,
  MODE_READ = 4,
  MODE_CHECK = 5,
};

struct pac_options {
  int mode = MODE_NONE;
  std::string package_path;  // read by extract, list and read
  std::string dest_path;     // written by make
  std::string name_filter;
  std::string type_filter;
  std::string output_target;  // -o: where -r writes its member ("-": stdout)
  std::string key_path;       // -k: verify the package with this minisign public key
  // --expect and --newer-than: what the verified trusted comment must hold,
  // so that a package signed for another board or an older release is
  // refused although the signature is good.
  std::vector<std::string> expected_tokens;
  std::optional<std::uint64_t> newer_than;
  bool preserve = false;
  bool json = false;     // --json: -l and -c print one JSON document instead of lines
  int member_count = 0;  // -a options seen
  // The id of the key the package was verified with (or that a run cut
  // short had verified it with); the journal keeps it for a resume.
  std::string verified_key;
};

struct dest_dir_entry {
  std::string type;
  std::string path;  // resolved absolute directory, or empty when it did not resolve
};

using dest_dir_map = std::vector<dest_dir_entry>;

// The directory of the first mapping for type, or an empty text when there is
// none (members of that type then go to the current directory).
const std::string& find_dest_dir(const dest_dir_map& dirs, std::string_view type);

// Completes the records of the slots that -a began and writes the package at
// dest_path; throws with the message of the first failure, leaving whatever
// was at dest_path untouched.
void make_package(const pac_options& options, pac_index& index);

// Extracts the members of the package at options.package_path into their
// directories, cutting the package behind every piece unless
// options.preserve, or finishes an extract of it that a kill or a power cut
// stopped; opens, locks, verifies (with a key) and loads the package
// itself; throws on failure.
void extract_in_place(pac_options& options, const dest_dir_map& dirs, pac_index& index);

class package_file;

// Reads every member matching the name and/or type filter (all members
// without filters) and compares its MD5 with the record, one line each;
// writes nothing; throws after the last line when any is damaged.
void check_package(const pac_options& options, const package_file& package, const pac_index& index);

// Unpacks the first member matching the name and/or type filter into the
// current directory; never changes the package; throws on failure.
void read_one_member(const pac_options& options, const package_file& package,
                     const pac_index& index);

}  // namespace kb
