#include "cli/cli.h"

namespace kb {
namespace {

// With -k, the package proves where it comes from before anything is
// written, created or cut; a run cut short vouches by its journal instead.
void verify_if_asked(pac_options& o) {
  if (!o.key_path.empty() && o.verified_key.empty()) {
    o.verified_key = verify_package(o.package_path, o.key_path);
  }
}

}  // namespace

void dispatch(command_line& cmd) {
  pac_options& o = cmd.options;
  switch (o.mode) {
    case MODE_LIST:  // listing installs nothing: -k plays no part
      load_package(o.package_path, *cmd.index);
      pac_index_list(*cmd.index);
      break;
    case MODE_EXTRACT:
      if (!o.preserve && resume_extract(o, *cmd.index)) break;
      verify_if_asked(o);
      load_package(o.package_path, *cmd.index);
      extract_in_place(o, cmd.dirs, *cmd.index);
      break;
    case MODE_READ:
      verify_if_asked(o);
      load_package(o.package_path, *cmd.index);
      read_one_member(o, *cmd.index);
      break;
    case MODE_CHECK:
      verify_if_asked(o);
      load_package(o.package_path, *cmd.index);
      check_package(o, *cmd.index);
      break;
    case MODE_MAKE:
      make_package(o, *cmd.index);
      break;
    default:
      break;
  }
}

}  // namespace kb
