// Which directory a member of a type goes to.
#include "ops/options.h"

#include "base/error.h"
#include "base/messages.h"

namespace kb {

const std::string& find_dest_dir(const dest_dir_map& dirs, std::string_view type) {
  static const std::string none;
  for (const auto& e : dirs) {
    if (!e.type.empty() && e.type == type) return e.path;
  }
  return none;
}

void check_dest_dirs(const dest_dir_map& dirs) {
  for (const auto& e : dirs) {
    if (!e.typed.empty() && e.path.empty()) throw kb_error(msg::dest_dir_not_exist(e.typed));
  }
}

}  // namespace kb
