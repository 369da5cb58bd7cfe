// Helpers shared by the tests: a scratch directory per test, files, running
// the built binary, and packages built by hand.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pac/pac.h"

namespace kb::test {

std::string random_bytes(std::size_t n, unsigned seed);
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);             // empty when missing
long long file_size(const std::string& path);               // -1 when missing
std::vector<std::string> list_dir(const std::string& dir);  // sorted names
std::string md5_of(const std::string& bytes);
std::string scramble(std::string bytes);

// The bytes of a package: data followed by the trailer of index, scrambled.
std::string package_bytes(const std::string& plain_data, const pac_index& index);
// Fills slot i with the stored fields given as text.
void set_slot(pac_index& index, int i, const std::string& type, const std::string& name,
              const std::string& size, const std::string& offset, const std::string& md5 = "");

struct run_result {
  int status;
  std::string out;  // stdout
  std::string err;  // stderr
};

// Runs the built kestrelbind in dir with extra environment entries
// ("NAME=value"); stdout goes to stdout_to instead when given.
run_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {}, const char* stdout_to = nullptr);

// The environment that preloads the fault injector (fault_inject.cc) with
// the given KB_FAULT value; empty when the binary cannot preload (static).
std::vector<std::string> fault_env(const std::string& fault);
#define SKIP_WITHOUT_FAULT_INJECTION() \
  if (kb::test::fault_env("").empty()) \
  GTEST_SKIP() << "a static binary cannot preload the fault injector"

struct member_file {
  std::string type, name, bytes;
};

// The one fixture: a scratch directory (removed afterwards) in which the
// tool runs, and packages made there from member files.
class pac_test : public ::testing::Test {
 protected:
  pac_test();
  ~pac_test() override;
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  run_result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return run_tool(dir_, args, env);
  }
  // Runs the tool in dir and expects its status and stdout: all of it, or
  // (out starting with "...") the rest of out somewhere in it.
  run_result expect(const std::string& dir, const std::vector<std::string>& args, int status,
                    const std::string& out, const std::vector<std::string>& env = {});
  run_result expect(const std::vector<std::string>& args, int status, const std::string& out) {
    return expect(dir_, args, status, out);
  }
  // Makes p.pac (version "1" each) of members written to in/ first.
  void make(const std::vector<member_file>& members, const std::string& pac = "p.pac");
  // Members M1 (100 bytes), M2 (600000) and M3 (100), types system, modem, idu.
  static std::vector<member_file> example();
  // "\r\n extract file ... successfully! \r\n" of a member.
  static std::string extracted(const member_file& m);

  std::string dir_;
};

}  // namespace kb::test
