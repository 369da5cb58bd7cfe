// The listing printed by -l: scripts parse these lines, so every byte counts.
#include "base/console.h"
#include "base/messages.h"
#include "pac/pac.h"

namespace kb {

void pac_index_list(const pac_index& index) {
  std::string out = msg::list_meta(index.meta_version, index.feature);
  for (const pac_member& m : index.members) {
    out += msg::list_member(m.type, m.name, m.version, m.size_text, m.offset_text, m.md5);
  }
  say(out);
}

}  // namespace kb
