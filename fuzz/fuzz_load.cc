// Arbitrary bytes as a package: the loader, the listing and both visiting
// orders must take anything without a crash, a leak or undefined behaviour.

#include "fuzz_support.h"
#include "ops/package.h"

namespace {
std::string package_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  package_path = kb::fuzz::enter_scratch_dir() + "/p.pac";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kb::fuzz::write_package(package_path, data, size);
  kb::pac_index index;
  try {
    index = kb::load_package(kb::package_file(package_path, kb::package_use::reading));
  } catch (const kb::kb_error&) {
    return 0;
  }
  kb::pac_index_list(index);
  kb::members_by_size(index);
  kb::members_by_offset(index);
  return 0;
}
