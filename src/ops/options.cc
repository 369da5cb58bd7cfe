// Which directory a member of a type goes to.
#include "ops/options.h"

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

}  // namespace kb
