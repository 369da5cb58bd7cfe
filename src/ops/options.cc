// Which directory a member of a type goes to.
#include "ops/options.h"

namespace kb {

const std::string& find_dest_dir(const dest_dir_map& dirs, std::string_view type) {
  static const std::string none;
  for (const auto& e : dirs) {
    if (!e.type.empty() && e.type == type) return e.path;
  }
  return none;
}

}  // namespace kb
