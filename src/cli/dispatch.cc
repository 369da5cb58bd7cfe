#include <cstdio>

#include "base/console.h"
#include "base/messages.h"
#include "base/progress.h"
#include "cli/cli.h"
#include "ops/json_report.h"
#include "ops/package.h"
#include "trust/floor.h"
#include "trust/signature.h"

namespace kb {
namespace {

// The one way read and check open their package: shared, a journal beside
// it named (and, with a key, refused: what the cuts left is not what was
// signed), loaded from the very bytes verified.
struct read_package {
  package_file file;
  verified_index loaded;
};

read_package open_for_reading(const pac_options& o) {
  package_file file(o.package_path, package_use::reading);
  say_if_cut_short(file, !o.key_path.empty());
  verified_index loaded = load_package_verified(o, file);
  return {std::move(file), std::move(loaded)};
}

}  // namespace

void dispatch(command_line& cmd) {
  pac_options& o = cmd.options;
  if (o.json && o.mode != MODE_LIST && o.mode != MODE_CHECK &&
      !(o.plan && o.mode == MODE_EXTRACT)) {
    note("--json plays no part but with -l and -c");
  }
  if (o.plan && o.mode != MODE_EXTRACT) {
    note("--plan plays no part but with -e");
  }
  if (!o.sig_path.empty() && o.key_path.empty()) {
    note("--sig plays no part without -k");
  }
  std::uint64_t floor = 0;
  if (!o.floor_path.empty()) {
    floor = read_floor(o.floor_path);
    o.newer_than = std::max(o.newer_than.value_or(0), floor);
  }
  static const char* const PHASES[] = {"extract", "make", "list", "", "read", "check"};
  verified_package verified;  // what the operation verified, if anything
  progress_phase phase(o.mode >= 0 && o.mode <= MODE_CHECK ? PHASES[o.mode] : "");
  switch (o.mode) {
    case MODE_LIST: {  // listing installs nothing: -k plays no part
      package_file package(o.package_path, package_use::reading);
      say_if_cut_short(package);
      const pac_index index = load_package(package);
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
        note("-n plays no part in extract; -r reads one member by name");
      }
      verified = extract_in_place(o, cmd.dirs);
      break;
    case MODE_READ: {
      // With -k, the package proves where it comes from before anything is
      // written, created or cut; where it goes is fixed before that.
      const directory at = open_output_dir(o);
      const read_package package = open_for_reading(o);
      verified = package.loaded.verified;
      read_one_member(o, package.file, package.loaded.index, at);
      break;
    }
    case MODE_CHECK: {
      const read_package package = open_for_reading(o);
      verified = package.loaded.verified;
      check_package(o, package.file, package.loaded.index, verified);
      break;
    }
    case MODE_MAKE:
      make_package(o);
      break;
    default:
      note("no operation given (-m, -l, -e, -r or -c); nothing is done");
      break;
  }
  // The run has succeeded: the package it verified is the floor now, made
  // durable before the exit status says so.
  const std::uint64_t installed = comment_timestamp(verified.trusted_comment);
  if (!o.floor_path.empty() && !o.plan && !verified.key_id.empty() && installed > floor)
    write_floor(o.floor_path, installed);
}

}  // namespace kb
