// What the command line asks of an operation: the options record and the
// map of destination directories, nothing an operation finds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/staged_file.h"

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
  // Every -k, key_path the first: the package verifies when any of them
  // signed it, so that a device accepts this year's key and next year's.
  std::vector<std::string> key_paths;
  std::string sig_path;  // --sig: the signature, when it is not the package's path + ".minisig"
  // --expect and --newer-than: what the verified trusted comment must hold,
  // so that a package signed for another board or an older release is
  // refused although the signature is good.
  std::vector<std::string> expected_tokens;
  std::optional<std::uint64_t> newer_than;
  // --floor: the file that holds the timestamp of the last package
  // installed; the run needs a newer one and leaves its own there.
  std::string floor_path;
  bool preserve = false;
  bool plan = false;  // --plan: an extract tells what it would do and changes nothing
  bool json = false;  // --json: -l and -c print one JSON document instead of lines
  // make: each -a value as given ("type,path,version"), and -f's feature
  std::vector<std::string> member_specs;
  std::string feature;
};

struct dest_dir_entry {
  std::string type;
  std::string path;   // resolved absolute directory, or empty when it did not resolve
  std::string typed;  // as given; empty means the current directory
  // That directory, opened as the command line is read: a swap of it
  // meanwhile (the signature is read first) leads nowhere else.
  directory dir;
};

using dest_dir_map = std::vector<dest_dir_entry>;

}  // namespace kb
