// The package make writes: a file of its own beside the destination, put in
// the destination's place only when complete and on disk, and removed on
// every other way out, so that a failed make never leaves a half-written
// package nor destroys what was there before.
#pragma once

#include <cstddef>
#include <string>

#include "base/error.h"
#include "base/io.h"

namespace kb {

class new_package {
 public:
  // Creates the file; mkstemp makes it private, so it gets the mode a new
  // file would get, or keeps the mode of the package it replaces.
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
  std::string path_;
  fd_closer fd_;
  bool committed_ = false;
};

}  // namespace kb
