// Which members an operation takes, and where they go: the filters, the
// destination lookup, and the refusals of names and fields a foreign
// package could spoof the console with.
#pragma once

#include <string>
#include <string_view>

#include "ops/options.h"
#include "pac/pac.h"

namespace kb {

// The first mapping for type with a directory, or none (members of that
// type then go to the current directory).
const dest_dir_entry* find_dest_dir(const dest_dir_map& dirs, std::string_view type);

// Refuses a mapping whose directory, named, did not resolve: its members
// would land in the current directory instead, and an update that
// "succeeds" there installs nothing where it was meant to.
void check_dest_dirs(const dest_dir_map& dirs);

// Refuses a member name that is not a plain file name: one holding "/", or
// "." or "..", would let a foreign package write outside its directory; one
// holding control bytes would spoof the lines that scripts parse.
void check_member_name(std::string_view name);

// Refuses the package at package_path when the fields printed beside a
// member's name (type, version, md5) or its feature hold control bytes, as
// a name holding them is refused: a foreign package could otherwise print
// lines the scripts take for the tool's own (a success that never
// happened) or drive the terminal.
void check_printed_fields(const pac_index& index, const std::string& package_path);

// Whether a member matches the name and type filters (an empty one matches all).
bool selected_by_filters(const pac_options& options, const pac_member& m);

}  // namespace kb
