#include "cli/cli.h"
#include "ops/expect.h"

namespace kb {
namespace {

// With -k, the package proves where it comes from, and by its trusted
// comment that it is meant for this device now, before anything is
// written, created or cut; a run cut short vouches by its journal instead.
void verify_if_asked(pac_options& o) {
  if (!o.key_path.empty() && o.verified_key.empty()) {
    const verified_package verified = verify_package(o.package_path, o.key_path);
    check_trusted_comment(o, o.package_path, verified.trusted_comment);
    o.verified_key = verified.key_id;
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
