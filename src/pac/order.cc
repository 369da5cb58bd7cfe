// The two visiting orders: make writes the largest member first, extract takes
// the member stored last first.
#include <algorithm>

#include "pac/pac.h"

namespace kb {
namespace {

int next_member_by(pac_index& index, field_t<32> pac_member::*key) {
  std::int64_t best = -1;
  int pick = -1;
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    const pac_member& m = index.members[i];
    std::int64_t v = read_decimal(field(m.*key));
    if (!m.selected && v > best) {  // strictly greater: the lower slot wins ties
      best = v;
      pick = i;
    }
  }
  if (pick != -1) index.members[pick].selected = true;
  return pick;
}

}  // namespace

std::vector<int> members_by_offset(const pac_index& index) {
  std::vector<int> order;
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    if (read_decimal(field(index.members[i].offset)) >= 0) order.push_back(i);
  }
  // Stable: the lower slot first among equal offsets.
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return read_decimal(field(index.members[a].offset)) >
           read_decimal(field(index.members[b].offset));
  });
  return order;
}

int next_member_by_size(pac_index& index) {
  return next_member_by(index, &pac_member::size);
}

}  // namespace kb
