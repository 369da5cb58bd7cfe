// A file written under a name of its own and put in its place only once it
// is whole: created exclusively (O_CREAT|O_EXCL|O_NOFOLLOW) relative to its
// directory's descriptor, written and synced through its own descriptor,
// renamed over its final name and the directory synced, or discarded. Its
// directory is opened once and every name in it is reached through that
// descriptor: a directory swapped for a link, or a link laid at a name,
// after it was opened leads nowhere else.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/io.h"
#include "base/signals.h"

namespace kb {

// A path as the directory it lies in ("." for none, "/" at the root) and
// its last component, the name to reach through that directory.
struct path_parts {
  std::string dir, name;
};
path_parts split_path(const std::string& path);

// A directory open once, shared by the files staged in it.
class directory {
 public:
  directory() = default;
  // Opens the directory at path. A resolved path (absolute, no link in it)
  // is opened never through a link and must still be where it was
  // resolved; any other is opened as it stands. Empty (errno set) when it
  // can not be opened.
  static directory open(const std::string& path, bool resolved);
  // Opens the current directory, the very one the process is in, shown as
  // path.
  static directory current(const std::string& path);

  bool is_open() const { return fd_ != nullptr; }
  int fd() const { return fd_ ? fd_->get() : -1; }
  const std::string& path() const { return path_; }
  // name in it, as messages show it.
  std::string joined(const std::string& name) const;
  // Whether other is this very directory.
  bool same_as(const directory& other) const;

 private:
  std::shared_ptr<fd_closer> fd_;
  std::string path_;
};

// The tool's own names, made one way: a stem and a random part, so that
// nobody can lay a file in their way beforehand.
std::string own_name(std::string_view stem);
// Whether text is stem followed by the random part.
bool is_own_name(std::string_view text, std::string_view stem);
// A random mark of 32 hex digits, for a run's temporary files.
std::string new_mark();
// The temporary name of a file to be put at name (an output, the floor),
// and whether text is one.
std::string temp_name_for(std::string_view name);
bool is_temp_name_for(std::string_view text, std::string_view name);

class staged_file {
 public:
  // Creates temp in dir, exclusively, never through a link, 0600, to be
  // renamed to name; with replace, a file an earlier run left at temp is
  // removed first, when it carries owner. A non-empty owner is written on
  // the new file (an extended attribute, which only its user can set),
  // where the filesystem keeps such attributes. Nothing (errno set) when
  // it can not be created.
  static std::optional<staged_file> create(const directory& dir, const std::string& temp,
                                           const std::string& name, bool replace,
                                           const std::string& owner = "");
  // The same under stem and a random part of the tool's own.
  static std::optional<staged_file> create_unique(const directory& dir, const std::string& stem,
                                                  const std::string& name);
  // Opens the temporary file an earlier run left at temp, when it is one of
  // ours: a regular file the tool's user owns, with one name, carrying
  // owner (or on a filesystem that keeps no attributes). A record that
  // names temp is anyone's to write; owner is not.
  static std::optional<staged_file> adopt(const directory& dir, const std::string& temp,
                                          const std::string& name, const std::string& owner);
  // Opens name itself read-only when it is a regular file, never through a
  // link: a file already in its place.
  static std::optional<staged_file> open_final(const directory& dir, const std::string& name);

  int fd() const { return fd_.get(); }
  const directory& dir() const { return dir_; }
  std::int64_t length() const;  // -1 when it can not be had

  // Syncs the file; false (errno set) on failure.
  bool sync() const;
  // Gives it mode, renames it over its name when the temporary name still
  // names it, and syncs the directory; false (errno set) on failure.
  bool commit(mode_t mode);
  // Removes the temporary name when it still names this file.
  void discard();
  // Has a stop signal that ends the run remove the temporary file, until it
  // is committed or discarded.
  void remove_on_stop();

 private:
  staged_file(directory dir, fd_closer fd, std::string name, std::string temp)
      : dir_(std::move(dir)), fd_(std::move(fd)), name_(std::move(name)), temp_(std::move(temp)) {}
  bool still_named() const;

  directory dir_;
  fd_closer fd_;
  std::string name_, temp_;
  removed_on_stop removal_;
};

}  // namespace kb
