// Arbitrary bytes as the files that travel beside a package: its crash
// journal, its minisign signature and a public key. The readers and the
// resume plan must refuse anything malformed without a crash, a leak or
// undefined behaviour, and never follow a path out of place.
#include <memory>

#include "fuzz_support.h"
#include "ops/extract/resume.h"
#include "trust/signature.h"

namespace {
std::string package_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  package_path = kb::fuzz::enter_scratch_dir() + "/p.pac";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto key = kb::parse_public_key(text)) kb::key_id_text(key->id);
  if (auto sig = kb::parse_signature(text)) kb::key_id_text(sig->key_id);
  kb::fuzz::write_package(kb::journal_path(package_path), data, size);
  kb::fuzz::write_package(package_path, nullptr, 0);
  auto index = std::make_unique<kb::pac_index>();
  try {
    kb::package_file package(package_path, kb::package_use::in_place);
    const kb::extract_journal j = kb::read_journal(package, *index);
    for (const auto& out : j.outputs) {
      if (out.find("/../") != std::string::npos || out.rfind("../", 0) == 0) std::abort();
    }
    // A journal that reads well is followed only where this command would.
    kb::pac_options options;
    options.package_path = package_path;
    kb::extract_journal stale;
    kb::resume_extract(options, {}, package, stale);
  } catch (const kb::kb_error&) {
  }
  return 0;
}
