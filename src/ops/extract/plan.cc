#include "ops/extract/plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "base/console.h"
#include "base/error.h"
#include "base/messages.h"
#include "ops/output.h"
#include "ops/selection.h"
#include "pac/codec.h"

namespace kb {
namespace {

std::string current_directory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".";
}

// Refuses an output that is the package itself (writing it would destroy
// the package before it is read) or a file the run keeps beside it.
void check_not_package(const planned_member& p, const package_file& package) {
  struct stat out;
  const struct stat& pkg = package.status();
  if (fstatat(p.at.fd(), p.name.c_str(), &out, 0) == 0 && out.st_dev == pkg.st_dev &&
      out.st_ino == pkg.st_ino) {
    throw kb_error(msg::is_the_package(p.shown, package.path()));
  }
  check_not_side_file(p.at, p.name, p.shown, package);
}

// Refuses, before the first cut, an output that could never be put under
// its name: its directory is a file, or the name is a directory. Found only
// at its rename, the member would be cut out of the package and put back.
void check_writable(const planned_member& p) {
  struct stat st;
  const int err =
      !p.at.is_open() ? ENOTDIR
      : fstatat(p.at.fd(), p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
          ? EISDIR
          : 0;
  if (err != 0) {
    say_reason(p.shown, err);
    throw kb_error(msg::cannot_write_to(p.shown));
  }
}

}  // namespace

extract_plan plan_extract(const pac_options& options, const dest_dir_map& dirs,
                          const pac_index& index, const package_file& package) {
  extract_plan plan;
  plan.started_in = current_directory();
  // The current directory as the process has it, whatever its path now leads to.
  directory here;
  for (int i : members_by_offset(index)) {
    const pac_member& m = index.members[i];
    if (!options.type_filter.empty() && m.type != options.type_filter) continue;
    planned_member p;
    p.slot = i;
    p.offset = m.offset;
    p.size = m.size;
    p.name = m.name;
    if (!p.name.empty()) {
      check_member_name(p.name);
      const dest_dir_entry* mapped = find_dest_dir(dirs, m.type);
      if (!mapped && !here.is_open()) here = open_dest_dir(plan.started_in);
      p.dir = mapped ? mapped->path : plan.started_in;
      p.at = mapped ? mapped->dir : here;
      p.shown = mapped ? p.output() : p.name;
      p.temp = temp_name_for(p.name);
      check_writable(p);
      check_not_package(p, package);
    } else if (const dest_dir_entry* mapped = find_dest_dir(dirs, m.type)) {
      p.shown = mapped->path + "/";  // a directory, which no member can be written as
    }
    plan.members.push_back(std::move(p));
  }
  // Two members written to one path: the second would destroy the first.
  std::vector<const planned_member*> named;
  for (const auto& p : plan.members) {
    if (!p.name.empty()) named.push_back(&p);
  }
  std::stable_sort(named.begin(), named.end(),
                   [](auto* a, auto* b) { return a->output() < b->output(); });
  auto twice = std::adjacent_find(named.begin(), named.end(),
                                  [](auto* a, auto* b) { return a->output() == b->output(); });
  if (twice != named.end()) {
    throw kb_error(msg::written_twice((*twice)->shown));
  }
  // Cutting the package behind one member would destroy any member that
  // shares its bytes; only a package made that way by hand can hold such.
  if (options.preserve) return plan;
  std::vector<std::pair<std::int64_t, std::int64_t>> regions;
  for (const auto& p : plan.members) regions.emplace_back(p.offset, p.offset + p.size);
  std::sort(regions.begin(), regions.end());
  for (std::size_t k = 1; k < regions.size(); ++k) {
    if (regions[k].first < regions[k - 1].second) {
      throw kb_error(msg::members_overlap(options.package_path));
    }
  }
  return plan;
}

extract_journal journal_for(const extract_plan& plan, const trailer_bytes& trailer,
                            std::int64_t original_length, const std::string& key_id,
                            const std::string& hash_state) {
  extract_journal j;
  j.original_length = original_length;
  j.key_id = key_id;
  j.hash_state = hash_state;
  j.mark = new_mark();
  j.started_in = plan.started_in;
  j.trailer = trailer;
  crypt_encode(j.trailer.data(), j.trailer.size());
  for (const auto& p : plan.members) {
    if (p.name.empty()) continue;
    j.outputs[p.slot] = p.output();
    j.temps[p.slot] = p.temp;
  }
  return j;
}

}  // namespace kb
