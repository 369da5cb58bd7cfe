// Which directory a member of a type goes to.
#include "ops/options.h"

namespace kb {

const dest_dir_entry* find_dest_dir(const dest_dir_map& dirs, std::string_view type) {
  for (const auto& e : dirs) {
    if (!e.type.empty() && e.type == type) return e.path.empty() ? nullptr : &e;
  }
  return nullptr;
}

}  // namespace kb
