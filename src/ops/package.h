// The package as one open descriptor: opened once, locked, read, hashed,
// cut and put back through the same descriptor, never through its path
// again, since the directory it lies in belongs to whoever downloaded it.
#pragma once

#include <sys/stat.h>

#include <string>

#include "base/error.h"
#include "base/io.h"
#include "base/staged_file.h"
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
  // The directory it was found in, open from before the package was, where
  // its side files (journal, signature) are read, written and removed; and
  // its name there.
  const directory& dir() const { return dir_; }
  const std::string& name() const { return name_; }
  const struct stat& status() const { return st_; }
  // Its length now, from the descriptor; throws when it can not be had.
  std::int64_t length() const;
  // Whether anyone but this run's user may write it (by its mode, or by a
  // descriptor kept open from before it was made this user's): then its
  // bytes may change after they were verified, and only each member's
  // digest stands between them and what is installed.
  bool others_can_write() const {
    return st_.st_uid != geteuid() || (st_.st_mode & 022) != 0 || !no_other_writer_;
  }
  // The length its trailer was read at (and, with a key, verified at): the
  // one an extract acts on, whatever the file grows to meanwhile.
  std::int64_t loaded_length() const { return loaded_length_; }
  void set_loaded_length(std::int64_t length) const { loaded_length_ = length; }

 private:
  std::string path_;
  directory dir_;
  std::string name_;
  fd_closer fd_;
  struct stat st_ {};
  bool no_other_writer_ = false;
  mutable std::int64_t loaded_length_ = -1;
};

// Reads and checks the package's trailer through its descriptor; the
// loader's messages on failure, or, when an extract of it was cut short,
// the message that says how to finish it.
// With trailer, the plain trailer is kept there too.
pac_index load_package(const package_file& package, trailer_bytes* trailer = nullptr);

// Refuses an output at name in dir (shown so in the message) that is a
// file kept beside the package: its journal, the journal's temporary names
// or its signature, which a member must never replace.
void check_not_side_file(const directory& dir, const std::string& name, const std::string& shown,
                         const package_file& package);

// The message for a package whose extract was cut short: how to finish it,
// with the -k and -d options its journal says the rerun needs. The journal
// is not trusted, so this is a hint and nothing more: its control bytes are
// masked, and the rerun checks everything again.
kb_error cut_short(const package_file& package);

// When an extract of the package was cut short (its journal lies beside it),
// says so first; a package that no longer loads is refused with that line,
// and so is one to be verified: what its cuts and put-backs left is not
// what was signed, and only the rerun puts that together again.
void say_if_cut_short(const package_file& package, bool verifying = false);

}  // namespace kb
