// The listing printed by -l: scripts parse these lines, so every byte counts.
#include "base/console.h"
#include "pac/pac.h"

namespace kb {

void pac_index_list(const pac_index& index) {
  std::string out = "\r\ntype:meta,version:";
  out.append(index.meta_version).append(",feature:").append(index.feature);
  out += "\r\n";
  for (const pac_member& m : index.members) {
    out.append("\r\ntype:").append(m.type);
    out.append(",name:").append(m.name);
    out.append(",version:").append(m.version);
    out.append(",size:").append(m.size_text);
    out.append(",offset:").append(m.offset_text);
    out.append(",md5:").append(m.md5);
    out += "\r\n";
  }
  say(out);
}

}  // namespace kb
