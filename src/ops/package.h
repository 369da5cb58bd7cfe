// The package as one open descriptor: opened once, locked, read, hashed,
// cut and put back through the same descriptor, never through its path
// again, since the directory it lies in belongs to whoever downloaded it.
#pragma once

#include <sys/stat.h>

#include <string>

#include "base/error.h"
#include "base/io.h"
#include "pac/pac.h"

namespace kb {

enum class package_use {
  reading,   // list, read, check, a preserved extract: a shared lock, links followed
  in_place,  // extract in place and its resume: an exclusive lock, no link
};

// An open, locked package. The lock lasts as long as the object.
class package_file {
 public:
  package_file(const std::string& path, package_use use);
  package_file(package_file&&) = default;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  const struct stat& status() const { return st_; }
  // Its length now, from the descriptor; throws when it can not be had.
  std::int64_t length() const;
  // Whether anyone but this run's user may write it: then its bytes may
  // change after they were verified, and only each member's digest stands
  // between them and what is installed.
  bool others_can_write() const { return st_.st_uid != geteuid() || (st_.st_mode & 022) != 0; }
  // The length its trailer was read at (and, with a key, verified at): the
  // one an extract acts on, whatever the file grows to meanwhile.
  std::int64_t loaded_length() const { return loaded_length_; }
  void set_loaded_length(std::int64_t length) const { loaded_length_ = length; }

 private:
  std::string path_;
  fd_closer fd_;
  struct stat st_ {};
  mutable std::int64_t loaded_length_ = -1;
};

// Reads and checks the package's trailer through its descriptor; the
// loader's messages on failure, or, when an extract of it was cut short,
// the message that says how to finish it.
// With trailer, the plain trailer is kept there too.
pac_index load_package(const package_file& package, trailer_bytes* trailer = nullptr);

// The message for a package whose extract was cut short and that does not
// load any more.
kb_error cut_short(const std::string& package_path);

}  // namespace kb
