// The command-line front end: usage text, option parsing and dispatch.
#pragma once

#include <memory>

#include "ops/ops.h"

namespace kb {

extern const char USAGE_TEXT[];

struct command_line {
  pac_options options;
  dest_dir_map dirs;
  std::unique_ptr<pac_index> index = std::make_unique<pac_index>();
};

// Parses every argument after the program name. Prints the field line of
// each -d as it comes (a later bad option does not take it back); throws the
// message of the first bad argument.
command_line parse_options(int argc, char** argv);

// Adds one -d mapping "type,directory", resolving the directory; prints its
// field line.
void add_dest_dir(dest_dir_map& dirs, const std::string& value);

// Loads the package where the mode needs it and runs the operation.
void dispatch(command_line& cmd);

}  // namespace kb
