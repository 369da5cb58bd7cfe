// Helpers shared by the tests: scratch directories, file contents, running
// the built binary, and packages built by hand.
#pragma once

#include <string>
#include <vector>

#include "pac/pac.h"

namespace kb::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string random_bytes(std::size_t n, unsigned seed);
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
long long file_size(const std::string& path);
bool exists(const std::string& path);
// Every entry name in a directory, sorted.
std::vector<std::string> list_dir(const std::string& dir);

struct run_result {
  int status;
  std::string out;  // everything the tool printed to stdout
};

// Runs the built kestrelbind with args in directory dir, with the extra
// environment entries ("NAME=value") given.
run_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {});

// The environment that preloads the fault injector (see fault_inject.cc)
// with the given KB_FAULT value.
std::vector<std::string> fault_env(const std::string& fault);

// Whether the binary can load the fault injector (it cannot when static).
bool can_inject_faults();

#define SKIP_WITHOUT_FAULT_INJECTION() \
  if (!kb::test::can_inject_faults())  \
  GTEST_SKIP() << "a static binary cannot preload the fault injector"

// The bytes of a package: data followed by the trailer of index, scrambled.
std::string package_bytes(const std::string& plain_data, const pac_index& index);

// Fills slot i of index with the stored fields given as text.
void set_slot(pac_index& index, int i, const std::string& type, const std::string& name,
              const std::string& version, const std::string& size, const std::string& offset,
              const std::string& md5);

std::string md5_of(const std::string& bytes);
std::string scramble(std::string bytes);

}  // namespace kb::test
