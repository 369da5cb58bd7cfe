#include "ops/extract/plan_report.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/console.h"
#include "base/messages.h"
#include "ops/extract/in_place.h"

namespace kb {
namespace {

std::int64_t rounded(std::int64_t bytes, std::int64_t block) {
  return block > 0 ? (bytes + block - 1) / block * block : bytes;
}

// The journal beside the package: the trailer, the outputs' paths, and a
// second copy while it is replaced.
std::int64_t journal_bytes(const extract_plan& plan, std::int64_t block) {
  std::int64_t text = static_cast<std::int64_t>(PAC_INDEX_SIZE) * 2 + 4096;
  for (const auto& p : plan.members) text += static_cast<std::int64_t>(p.output().size() * 2 + 64);
  return 2 * rounded(text, block);
}

struct filesystem_walk {
  filesystem_room room;
  std::int64_t block = 4096, run = 0;
};

filesystem_walk& walk_of(std::vector<filesystem_walk>& walks, dev_t device,
                         const std::string& path) {
  for (auto& w : walks) {
    if (w.room.device == device) return w;
  }
  filesystem_walk w;
  w.room.device = device;
  w.room.path = path;
  struct statvfs vfs;
  if (statvfs(path.c_str(), &vfs) == 0) {
    w.room.free = static_cast<std::int64_t>(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
    w.block = static_cast<std::int64_t>(vfs.f_bsize);
  }
  walks.push_back(w);
  return walks.back();
}

}  // namespace

std::vector<filesystem_room> plan_room(const pac_options& options, const extract_plan& plan,
                                       const package_file& package, const run_room& asked) {
  const bool in_place = !options.preserve;
  const dev_t package_device = package.status().st_dev;
  std::vector<filesystem_walk> walks;
  filesystem_walk& home = walk_of(walks, package_device, options.package_path);
  if (in_place) home.run = journal_bytes(plan, home.block);
  home.room.needs = std::max(home.run, asked.needed);
  home.room.free += asked.reclaimable;
  // The members in the order they leave the package: each output grows
  // while the installed file it replaces stays (or, on another filesystem
  // and when others can not change the package, is removed first), and in
  // place the package shrinks behind it, one checkpoint behind at most.
  for (const auto& p : plan.members) {
    if (p.name.empty()) continue;
    struct stat dir {};
    if (stat(p.dir.c_str(), &dir) != 0) continue;
    filesystem_walk& w = walk_of(walks, dir.st_dev, p.dir);
    const bool beside_package = dir.st_dev == package_device;
    struct stat old {};
    const std::int64_t installed =
        lstat(p.output().c_str(), &old) == 0 && S_ISREG(old.st_mode) ? old.st_blocks * 512 : 0;
    const std::int64_t output = rounded(p.size, w.block);
    const bool removed_first = in_place && !beside_package && !package.others_can_write();
    if (in_place && beside_package) {
      // Written, synced, then cut: a checkpoint's bytes are twice on the
      // flash, and the run sizes its checkpoints by the room it finds; the
      // piece that reaches the size goes with it whole.
      const std::int64_t checkpoint =
          std::min(output, largest_checkpoint(w.room.free) + PIECE_BYTES);
      w.room.needs = std::max(w.room.needs, w.run + rounded(checkpoint, w.block) + w.block);
      w.run += output - p.size - installed;
    } else {
      w.room.needs = std::max(w.room.needs, w.run + output - (removed_first ? installed : 0));
      w.run += output - installed;
    }
  }
  std::vector<filesystem_room> out;
  for (auto& w : walks) {
    if (w.room.free < w.room.needs) w.room.safety = "too_little";
    out.push_back(w.room);
  }
  return out;
}

void print_plan(const pac_options& options, const pac_index& index, const extract_plan& plan,
                const package_file& package, const run_room& asked) {
  const std::vector<filesystem_room> rooms = plan_room(options, plan, package, asked);
  // The run refuses, before anything changes, what it asks for and does not
  // find; the plan refuses it with the same words.
  const bool refused = !rooms.empty() && rooms.front().free < asked.needed;
  const std::string no_room =
      refused ? msg::needs_room(options.package_path, asked.needed) : std::string();
  const filesystem_room* short_of_room = nullptr;
  for (const auto& r : rooms) {
    if (std::string_view(r.safety) == "too_little" && short_of_room == nullptr) short_of_room = &r;
  }
  if (options.json) {
    using json = nlohmann::ordered_json;
    json doc = {{"package", options.package_path}, {"members", json::array()}};
    for (const auto& p : plan.members) {
      const pac_member& m = index.members[p.slot];
      doc["members"].push_back({{"type", m.type},
                                {"name", m.name},
                                {"size", m.size},
                                {"output", p.name.empty() ? json() : json(p.output())}});
    }
    doc["filesystems"] = json::array();
    for (const auto& r : rooms) {
      doc["filesystems"].push_back(
          {{"path", r.path}, {"needs", r.needs}, {"free", r.free}, {"safety", r.safety}});
    }
    doc["go_ahead"] = short_of_room == nullptr;
    if (short_of_room != nullptr) {
      doc["refusal"] =
          one_line(refused ? no_room
                           : msg::plan_no_room(shown(short_of_room->path), short_of_room->needs,
                                               short_of_room->free));
    }
    const std::string text = doc.dump(-1, ' ', true, json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    for (const auto& p : plan.members) {
      const pac_member& m = index.members[p.slot];
      say(msg::plan_member(shown(m.type), shown(m.name), m.size,
                           p.name.empty() ? "-" : shown(p.output())));
    }
    for (const auto& r : rooms) say(msg::plan_room(shown(r.path), r.needs, r.free, r.safety));
  }
  if (refused) throw kb_error(no_room);
  if (short_of_room != nullptr) {
    throw kb_error(
        msg::plan_no_room(shown(short_of_room->path), short_of_room->needs, short_of_room->free));
  }
  if (!options.json) say(msg::plan_goes_ahead(options.package_path));
}

void print_plan_refusal(const pac_options& options, const std::string& message) {
  using json = nlohmann::ordered_json;
  const json doc = {
      {"package", options.package_path}, {"go_ahead", false}, {"refusal", one_line(message)}};
  const std::string text = doc.dump(-1, ' ', true, json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace kb
