#include <cstdio>

#include "base/console.h"
#include "base/messages.h"
#include "cli/cli.h"
#include "ops/floor.h"
#include "ops/json_report.h"
#include "ops/package.h"
#include "ops/progress.h"
#include "ops/signature.h"

namespace kb {

void dispatch(command_line& cmd) {
  pac_options& o = cmd.options;
  pac_index index;
  if (o.json && o.mode != MODE_LIST && o.mode != MODE_CHECK &&
      !(o.plan && o.mode == MODE_EXTRACT)) {
    std::fputs("kestrelbind: --json plays no part but with -l and -c\n", stderr);
  }
  if (o.plan && o.mode != MODE_EXTRACT) {
    std::fputs("kestrelbind: --plan plays no part but with -e\n", stderr);
  }
  if (!o.sig_path.empty() && o.key_path.empty()) {
    std::fputs("kestrelbind: --sig plays no part without -k\n", stderr);
  }
  std::uint64_t floor = 0;
  if (!o.floor_path.empty()) {
    floor = read_floor(o.floor_path);
    o.newer_than = std::max(o.newer_than.value_or(0), floor);
  }
  static const char* const PHASES[] = {"extract", "make", "list", "", "read", "check"};
  progress_phase phase(o.mode >= 0 && o.mode <= MODE_CHECK ? PHASES[o.mode] : "");
  switch (o.mode) {
    case MODE_LIST: {  // listing installs nothing: -k plays no part
      package_file package(o.package_path, package_use::reading);
      say_if_cut_short(package);
      index = load_package(package);
      if (o.json) {
        const std::string document = listing_json(index);
        std::fwrite(document.data(), 1, document.size(), stdout);
      } else {
        pac_index_list(index);
      }
      break;
    }
    case MODE_EXTRACT:
      if (!o.name_filter.empty()) {
        std::fputs("kestrelbind: -n plays no part in extract; -r reads one member by name\n",
                   stderr);
      }
      extract_in_place(o, cmd.dirs);
      break;
    case MODE_READ: {
      // With -k, the package proves where it comes from before anything is
      // written, created or cut; where it goes is fixed before that.
      const directory at = open_output_dir(o);
      package_file package(o.package_path, package_use::reading);
      say_if_cut_short(package, !o.key_path.empty());
      index = load_package_verified(o, package);
      read_one_member(o, package, index, at);
      break;
    }
    case MODE_CHECK: {
      package_file package(o.package_path, package_use::reading);
      say_if_cut_short(package, !o.key_path.empty());
      index = load_package_verified(o, package);
      check_package(o, package, index);
      break;
    }
    case MODE_MAKE:
      make_package(o);
      break;
    default:
      std::fputs("kestrelbind: no operation given (-m, -l, -e, -r or -c); nothing is done\n",
                 stderr);
      break;
  }
  // The run has succeeded: the package it verified is the floor now, made
  // durable before the exit status says so.
  const std::uint64_t installed = comment_timestamp(o.verified_comment);
  if (!o.floor_path.empty() && !o.plan && !o.verified_key.empty() && installed > floor)
    write_floor(o.floor_path, installed);
}

}  // namespace kb
