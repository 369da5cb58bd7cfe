#include "cli/cli.h"
#include "ops/package.h"
#include "ops/signature.h"

namespace kb {

void dispatch(command_line& cmd) {
  pac_options& o = cmd.options;
  pac_index& index = *cmd.index;
  switch (o.mode) {
    case MODE_LIST: {  // listing installs nothing: -k plays no part
      package_file package(o.package_path, package_use::reading);
      load_package(package, index);
      pac_index_list(index);
      break;
    }
    case MODE_EXTRACT:
      extract_in_place(o, cmd.dirs, index);
      break;
    case MODE_READ: {
      // With -k, the package proves where it comes from before anything is
      // written, created or cut.
      package_file package(o.package_path, package_use::reading);
      load_package_verified(o, package, index);
      read_one_member(o, package, index);
      break;
    }
    case MODE_CHECK: {
      package_file package(o.package_path, package_use::reading);
      load_package_verified(o, package, index);
      check_package(o, package, index);
      break;
    }
    case MODE_MAKE:
      make_package(o, index);
      break;
    default:
      break;
  }
}

}  // namespace kb
