// The listing printed by -l: scripts parse these lines, so every byte counts.
#include "pac/pac.h"

namespace kb {

void pac_index_list(const pac_index& index) {
  std::string out = "\r\ntype:meta,version:";
  out.append(field(index.meta_version)).append(",feature:").append(field(index.feature));
  out += "\r\n";
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    const pac_member& m = index.members[i];
    out.append("\r\ntype:").append(field(m.type));
    out.append(",name:").append(field(m.name));
    out.append(",version:").append(field(m.version));
    out.append(",size:").append(field(m.size));
    out.append(",offset:").append(field(m.offset));
    out.append(",md5:").append(field(m.md5));
    out += "\r\n";
  }
  say(out);
}

}  // namespace kb
