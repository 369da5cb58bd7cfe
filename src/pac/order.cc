// The two visiting orders: make writes the largest member first, extract takes
// the member stored last first.
#include <algorithm>
#include <numeric>

#include "pac/pac.h"

namespace kb {
namespace {

// The slots, the greatest key first; stable, so the lower slot first on ties.
std::vector<int> by_descending(const pac_index& index, std::int64_t pac_member::*key) {
  std::vector<int> order(index.members.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return index.members[a].*key > index.members[b].*key; });
  return order;
}

}  // namespace

std::vector<int> members_by_size(const pac_index& index) {
  return by_descending(index, &pac_member::size);
}

std::vector<int> members_by_offset(const pac_index& index) {
  return by_descending(index, &pac_member::offset);
}

}  // namespace kb
