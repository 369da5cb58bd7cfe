#include "cli/cli.h"

namespace kb {

void dispatch(command_line& cmd) {
  const pac_options& o = cmd.options;
  switch (o.mode) {
    case MODE_LIST:
      pac_index_load(o.package_path, *cmd.index);
      pac_index_list(*cmd.index);
      break;
    case MODE_EXTRACT:
      pac_index_load(o.package_path, *cmd.index);
      extract_in_place(o, cmd.dirs, *cmd.index);
      break;
    case MODE_READ:
      pac_index_load(o.package_path, *cmd.index);
      read_one_member(o, *cmd.index);
      break;
    case MODE_CHECK:
      pac_index_load(o.package_path, *cmd.index);
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
