// The command-line front end: usage text, option parsing and dispatch.
#pragma once

#include <string>

#include "ops/ops.h"

namespace kb {

struct command_line {
  pac_options options;
  dest_dir_map dirs;
  // --help, -h, --version or -V: this text on stdout and status 0, nothing else.
  std::string answer;
};

// Parses every argument after the program name. Prints the field line of
// each -d as it comes (a later bad option does not take it back) and names
// each unknown argument on stderr; throws the message of the first bad
// argument. A help or version word ends the parsing with its answer.
command_line parse_options(int argc, char** argv);

// Adds one -d mapping "type,directory", resolving the directory; prints its
// field line.
void add_dest_dir(dest_dir_map& dirs, const std::string& value);

// Loads the package where the mode needs it and runs the operation.
void dispatch(command_line& cmd);

}  // namespace kb
