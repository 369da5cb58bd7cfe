#include "cli/cli.h"

namespace kb {

void dispatch(command_line& cmd) {
  const pac_options& o = cmd.options;
  switch (o.mode) {
    case MODE_LIST:
      load_package(o.package_path, *cmd.index);
      pac_index_list(*cmd.index);
      break;
    case MODE_EXTRACT:
      if (!o.preserve && resume_extract(o, *cmd.index)) break;
      load_package(o.package_path, *cmd.index);
      extract_in_place(o, cmd.dirs, *cmd.index);
      break;
    case MODE_READ:
      load_package(o.package_path, *cmd.index);
      read_one_member(o, *cmd.index);
      break;
    case MODE_CHECK:
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
