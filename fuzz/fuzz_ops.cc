// Arbitrary bytes as a package, then the operations that read packages:
// read by name and by type, and a preserved extract with one mapped
// directory. All files they write must stay in the scratch directory.
#include <memory>
#include <optional>

#include "fuzz_support.h"
#include "ops/ops.h"
#include "ops/package.h"

namespace {
std::string scratch;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = kb::fuzz::enter_scratch_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const auto& e : std::filesystem::directory_iterator(scratch)) {
    std::filesystem::remove_all(e.path());
  }
  std::filesystem::create_directory(scratch + "/out");
  kb::fuzz::write_package("p.pac", data, size);

  kb::pac_index index;
  std::optional<kb::package_file> package;
  try {
    package.emplace("p.pac", kb::package_use::reading);
    index = kb::load_package(*package);
  } catch (const kb::kb_error&) {
    return 0;
  }
  const kb::pac_member none;
  const kb::pac_member& first = index.members.empty() ? none : index.members[0];
  const kb::pac_member& second = index.members.size() < 2 ? none : index.members[1];
  kb::pac_options options;
  options.package_path = "p.pac";
  auto attempt = [&](auto&& op) {
    try {
      op();
    } catch (const kb::kb_error&) {
    }
  };

  options.name_filter = first.name;
  attempt([&] { kb::read_one_member(options, *package, index, kb::open_output_dir(options)); });
  options.name_filter.clear();
  options.type_filter = first.type;
  attempt([&] { kb::read_one_member(options, *package, index, kb::open_output_dir(options)); });

  options.type_filter.clear();
  options.preserve = true;
  const std::string out = scratch + "/out";
  kb::dest_dir_map dirs;
  dirs.push_back({second.type, out, out, kb::directory::open(out, false)});
  attempt([&] { kb::extract_in_place(options, dirs); });
  return 0;
}
