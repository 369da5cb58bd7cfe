// A member's output: written under a temporary name of the tool's own in
// its destination directory and renamed over the member's name only once it
// is whole, synced and verified, so that the name never shows a
// half-written member and what was installed there stays until the new one
// is good. The descriptor is kept from creation to the end: the put-back
// and the digest read through it, never through a name that someone could
// have swapped for a link in the meantime.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "base/io.h"
#include "base/signals.h"

namespace kb {

class output_file {
 public:
  // Opens the destination directory dir (a message naming it when it is
  // gone) and creates the temporary file temp there, exclusively, never
  // through a link, 0600; a leftover at that name is removed first. shown
  // names the output in messages. With removed_on_stop, a stop signal
  // that ends the run removes it (not where a journal needs it).
  static output_file create(const std::string& dir, const std::string& name,
                            const std::string& temp, const std::string& shown,
                            bool removed_on_stop = true);
  // Opens the temporary file a run cut short left, when it is there and is
  // one of ours (a regular file the tool's user owns, with one name).
  static std::optional<output_file> reopen(const std::string& dir, const std::string& name,
                                           const std::string& temp);
  // Opens the member's own name read-only when it is a regular file, never
  // through a link; nothing when it is not there.
  static std::optional<output_file> open_final(const std::string& dir, const std::string& name);

  int fd() const { return fd_.get(); }
  int dir_fd() const { return dir_.get(); }
  const std::string& path() const { return path_; }  // the member's name in its directory
  const std::string& temp() const { return temp_; }
  std::int64_t length() const;

  // Syncs the file; false (errno set) on failure.
  bool sync() const;
  // Gives it mode, renames it over the member's name and syncs the
  // directory; false (errno set) on failure. Once done, path() holds it.
  bool commit(mode_t mode);
  // Removes the temporary name when it still names this file.
  void discard();

 private:
  output_file(fd_closer dir, fd_closer fd, std::string path, std::string name, std::string temp)
      : dir_(std::move(dir)),
        fd_(std::move(fd)),
        path_(std::move(path)),
        name_(std::move(name)),
        temp_(std::move(temp)) {}

  fd_closer dir_, fd_;
  std::string path_, name_, temp_;  // temp_ empty once committed
  removed_on_stop removal_;
};

// The mode an output gets once complete: the package's own read bits and
// its owner's write bit, masked by the umask; never exec, setuid, nor write
// for others, which the package's owner could otherwise choose.
mode_t output_mode(const struct stat& package);

// Frees the room of an installed file at dir/name before its new version is
// written, when dir's filesystem has less than needed bytes free and
// may_remove; says on stderr what it did.
void make_room_for(int dir_fd, const std::string& path, const std::string& name,
                   std::int64_t needed, bool may_remove);

}  // namespace kb
