#include <cstdio>

#include "cli/cli.h"
#include "ops/json_report.h"

namespace kb {
namespace {

// With -k, the package proves where it comes from before anything is
// written, created or cut; a run cut short vouches by its journal instead.
void verify_if_asked(pac_options& o) {
  if (!o.key_path.empty() && o.verified_key.empty()) {
    o.verified_key = verify_package(o.package_path, o.key_path);
  }
}

bool has_type(const pac_index& index, std::string_view type) {
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    if (field(index.members[i].type) == type) return true;
  }
  return false;
}

// A typo in -t or -d would otherwise pass in silence: stdout and the status
// stay what scripts expect, a person reads the word on stderr.
void note_unused_types(const pac_options& o, const dest_dir_map& dirs, const pac_index& index) {
  if (!o.type_filter.empty() && !has_type(index, o.type_filter)) {
    std::fprintf(stderr, "kestrelbind: no member has type '%s'; nothing is extracted\n",
                 o.type_filter.c_str());
  }
  for (const auto& d : dirs) {
    if (!has_type(index, d.type)) {
      std::fprintf(stderr, "kestrelbind: no member has type '%s'; its -d plays no part\n",
                   d.type.c_str());
    }
  }
}

}  // namespace

void dispatch(command_line& cmd) {
  pac_options& o = cmd.options;
  if (o.json && o.mode != MODE_LIST && o.mode != MODE_CHECK) {
    std::fputs("kestrelbind: --json plays no part but with -l and -c\n", stderr);
  }
  switch (o.mode) {
    case MODE_LIST:  // listing installs nothing: -k plays no part
      load_package(o.package_path, *cmd.index);
      if (o.json) {
        const std::string document = listing_json(*cmd.index);
        std::fwrite(document.data(), 1, document.size(), stdout);
      } else {
        pac_index_list(*cmd.index);
      }
      break;
    case MODE_EXTRACT:
      if (!o.name_filter.empty()) {
        std::fputs("kestrelbind: -n plays no part in extract; -r reads one member by name\n",
                   stderr);
      }
      if (!o.preserve && resume_extract(o, *cmd.index)) break;
      verify_if_asked(o);
      load_package(o.package_path, *cmd.index);
      note_unused_types(o, cmd.dirs, *cmd.index);
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
      std::fputs("kestrelbind: no operation given (-m, -l, -e, -r or -c); nothing is done\n",
                 stderr);
      break;
  }
}

}  // namespace kb
