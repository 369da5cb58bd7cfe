// What the command line asks of an operation: the options record and the
// map of destination directories.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  bool json = false;  // --json: -l and -c print one JSON document instead of lines
  // make: each -a value as given ("type,path,version"), and -f's feature
  std::vector<std::string> member_specs;
  std::string feature;
  // The id of the key the package was verified with (or that a run cut
  // short had verified it with); the journal keeps it for a resume.
  std::string verified_key;
  // The signature's hash after every byte before the trailer (see
  // verified_package); the journal keeps it for a resume.
  std::string verified_hash_state;
};

struct dest_dir_entry {
  std::string type;
  std::string path;  // resolved absolute directory, or empty when it did not resolve
};

using dest_dir_map = std::vector<dest_dir_entry>;

// The directory of the first mapping for type, or an empty text when there is
// none (members of that type then go to the current directory).
const std::string& find_dest_dir(const dest_dir_map& dirs, std::string_view type);

}  // namespace kb
