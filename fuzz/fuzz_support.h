// What both fuzz targets share: a scratch directory to work in, with the
// fuzzer's input written there as the package.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kb::fuzz {

// Makes a fresh scratch directory the current one and sends stdout, which
// the operations print to, away from the fuzzer's own output.
inline std::string enter_scratch_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kbfuzz.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0) std::abort();
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return tmpl;
}

inline void write_package(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

}  // namespace kb::fuzz
