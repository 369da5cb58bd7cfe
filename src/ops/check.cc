// Check a package: every selected member's stored bytes are read and their
// MD5 compared with the record, writing nothing anywhere, so that a package
// can be trusted before the extract that destroys it, even on a full flash.
//
// Members are hashed side by side (job_pool); the lines come out in slot
// order as their digests are known.
#include <fcntl.h>
#include <md5.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "base/console.h"
#include "base/io.h"
#include "base/jobs.h"
#include "base/messages.h"
#include "base/progress.h"
#include "ops/json_report.h"
#include "ops/package.h"
#include "ops/selection.h"
#include "pac/codec.h"
#include "pac/digest.h"
#include "pac/pieces.h"
#include "trust/signature.h"

namespace kb {
namespace {

constexpr std::size_t SLICE = 64 * 1024;

struct verdict {
  std::atomic<std::int64_t> done{0};  // bytes hashed so far, for the progress line
  bool readable = true;
  int error = 0;  // why the bytes could not be read (0: past the end)
  char digest[MD5_TEXT_SIZE] = {};
  std::string refusal;  // the line saying why no extract takes the member, if none does
  const char* why_refused = nullptr;  // the same in a few words
};

// What every extract refuses, whatever its mappings: a name that is not a
// plain file name, and two members of one type and name, which would be
// written to one path.
void find_refusals(const pac_index& index, const std::vector<int>& slots,
                   std::vector<verdict>& verdicts) {
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const pac_member& m = index.members[slots[k]];
    try {
      check_member_name(m.name);
    } catch (const kb_error& e) {
      verdicts[k].refusal = e.what();
      verdicts[k].why_refused = "name is not a plain file name";
      continue;
    }
    for (std::size_t j = 0; j < k; ++j) {
      const pac_member& other = index.members[slots[j]];
      if (other.type == m.type && other.name == m.name) {
        verdicts[k].refusal = msg::no_extract_takes_twins(m.type, m.name);
        verdicts[k].why_refused = "another member has the same type and name";
      }
    }
  }
}

}  // namespace

void check_package(const pac_options& options, const package_file& package, const pac_index& index,
                   const verified_package& verified) {
  std::vector<int> slots;
  for (std::size_t i = 0; i < index.members.size(); ++i) {
    if (selected_by_filters(options, index.members[i])) slots.push_back(static_cast<int>(i));
  }
  // A package without members is whole; filters that match nothing are not.
  const bool filtered = !options.name_filter.empty() || !options.type_filter.empty();
  if (slots.empty() && filtered) throw kb_error(msg::no_member_found());
  // Largest first, so that the cores finish together.
  std::vector<verdict> verdicts(slots.size());
  find_refusals(index, slots, verdicts);
  std::vector<std::size_t> order;
  for (int slot : members_by_size(index)) {
    auto at = std::find(slots.begin(), slots.end(), slot);
    if (at != slots.end()) order.push_back(static_cast<std::size_t>(at - slots.begin()));
  }
  int bad = 0, refused = 0;
  std::vector<member_verdict> report;
  {
    job_pool pool(order, [&](std::size_t k) {
      chunk_buffer buffer(SLICE);
      verdict& v = verdicts[k];
      const pac_member& m = index.members[slots[k]];
      v.readable = md5_member_hex(package.fd(), m.offset, m.size, buffer.data(), SLICE, v.digest,
                                  &v.done) == 0;
      v.error = v.readable ? 0 : errno;
    });
    for (std::size_t k = 0; k < slots.size(); ++k) {
      const pac_member& m = index.members[slots[k]];
      {
        // The line of the member whose result comes next, as it is hashed.
        progress bar(m.name, m.size);
        while (!pool.wait_for(k, 100)) bar.set(verdicts[k].done);
        bar.set(verdicts[k].done);  // its done line counts every byte hashed
      }
      const verdict& v = verdicts[k];
      const bool good = v.readable && m.md5 == v.digest;
      const std::string name = shown(m.name);
      const std::string line = good         ? msg::check_good(name, m.size_text, m.md5, m.version)
                               : v.readable ? msg::check_not_right(name, v.digest)
                                            : msg::check_unreadable(name);
      bad += good ? 0 : 1;
      if (!v.readable) say_reason(options.package_path, v.error);
      say(line + v.refusal);
      refused += v.refusal.empty() ? 0 : 1;
      report.push_back({slots[k],
                        good         ? "good"
                        : v.readable ? "damaged"
                                     : "unreadable",
                        v.readable ? v.digest : "", v.why_refused});
    }
  }
  if (options.json) {
    const std::string document =
        check_json(index, report, verified.key_id, verified.trusted_comment);
    std::fwrite(document.data(), 1, document.size(), stdout);
  }
  if (bad > 0) {
    throw kb_error(msg::damaged_members(options.package_path, bad));
  }
  if (refused > 0) {
    throw kb_error(msg::refused_members(options.package_path, refused));
  }
}

}  // namespace kb
