// A member's output: a staged file in its destination directory, renamed
// over the member's name only once it is whole, synced and verified, so
// that the name never shows a half-written member and what was installed
// there stays until the new one is good. The descriptor is kept from
// creation to the end: the put-back and the digest read through it, never
// through a name that someone could have swapped for a link meanwhile.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "base/staged_file.h"

namespace kb {

using output_file = staged_file;

// Opens the current directory, shown as path, once as the run is planned;
// a message naming it when it can not be.
directory open_dest_dir(const std::string& path);

// Creates the output's temporary file temp in dir (a leftover at that name
// is removed first, when it carries owner), marked as owner's; the message
// naming it as shown when it can not. With removed_on_stop, a stop signal
// that ends the run removes it (not where a journal needs it).
output_file create_output(const directory& dir, const std::string& name, const std::string& temp,
                          const std::string& shown, bool removed_on_stop = true,
                          const std::string& owner = "");

// The mode an output gets once complete: the package's own read bits and
// its owner's write bit, masked by the umask; never exec, setuid, nor write
// for others, which the package's owner could otherwise choose.
mode_t output_mode(const struct stat& package);

// Frees the room of an installed file at dir/name before its new version is
// written, when dir's filesystem has less than needed bytes free and
// may_remove (asked only then) says the new version is sure to be good;
// says on stderr what it did.
void make_room_for(const directory& dir, const std::string& name, std::int64_t needed,
                   const std::function<bool()>& may_remove);

}  // namespace kb
