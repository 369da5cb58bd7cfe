#include "ops/selection.h"

#include <cstdio>
#include <string>

#include "base/console.h"
#include "base/error.h"
#include "base/messages.h"

namespace kb {

const dest_dir_entry* find_dest_dir(const dest_dir_map& dirs, std::string_view type) {
  for (const auto& e : dirs) {
    if (!e.type.empty() && e.type == type) return e.path.empty() ? nullptr : &e;
  }
  return nullptr;
}

void check_dest_dirs(const dest_dir_map& dirs) {
  for (const auto& e : dirs) {
    if (!e.typed.empty() && e.path.empty()) throw kb_error(msg::dest_dir_not_exist(e.typed));
  }
}

bool selected_by_filters(const pac_options& options, const pac_member& m) {
  return (options.name_filter.empty() || m.name == options.name_filter) &&
         (options.type_filter.empty() || m.type == options.type_filter);
}

void check_member_name(std::string_view name) {
  if (name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    throw kb_error(msg::member_name_not_plain(name));
  }
  if (has_control_byte(name)) {
    throw kb_error(msg::member_name_control_bytes(shown(name)));
  }
}

void check_printed_fields(const pac_index& index, const std::string& package_path) {
  // The value is not quoted: even with its control bytes shown as '?', it
  // would carry the forged words onto stdout.
  auto refuse = [&](const char* field, const std::string& value, const std::string& member) {
    if (!has_control_byte(value)) return;
    note(package_path + ": " + field + (member.empty() ? "" : " of member " + shown(member)) +
         " holds control bytes: " + shown(value));
    throw kb_error(msg::printed_field_control_bytes(package_path, field));
  };
  refuse("feature", index.feature, "");
  for (const pac_member& m : index.members) {
    refuse("type", m.type, m.name);
    refuse("version", m.version, m.name);
    refuse("md5", m.md5, m.name);
  }
}

}  // namespace kb
