// The package make writes: a staged file beside the destination, put in
// the destination's place only when complete and on disk, its directory
// synced, and removed on every other way out, so that a failed make never
// leaves a half-written package nor destroys what was there before.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/staged_file.h"

namespace kb {

class new_package {
 public:
  // Creates the file, private until whole; it gets the mode a new file
  // would get, or the permission bits of the file it replaces.
  explicit new_package(const std::string& dest);
  new_package(const new_package&) = delete;
  new_package& operator=(const new_package&) = delete;
  ~new_package();

  // Scrambles length bytes of data in place and appends them.
  void append(unsigned char* data, std::size_t length);
  // A stopped make removes its file on the way out.
  void stop_if_interrupted() const;
  // Puts the package, on disk, in the destination's place.
  void commit();

 private:
  kb_error cannot_write() const;

  std::string dest_;
  std::optional<staged_file> file_;
  std::int64_t length_ = 0;
  mode_t mode_ = 0;
};

}  // namespace kb
