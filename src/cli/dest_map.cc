#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/console.h"
#include "base/messages.h"
#include "cli/cli.h"

namespace kb {
namespace {

constexpr std::size_t MAX_DEST_TYPE = 31;
constexpr std::size_t MAX_DEST_PATH = 255;

std::string resolve(const std::string& dir) {
  char buffer[PATH_MAX];
  if (dir.empty()) return {};  // the current directory, as scripts with optional mappings use
  // On failure the buffer may hold a partial path; the mapping is then empty.
  if (realpath(dir.c_str(), buffer) == nullptr) {
    say_reason(dir, errno, "an extract refuses it");
    return {};
  }
  return buffer;
}

}  // namespace

void add_dest_dir(dest_dir_map& dirs, const std::string& value) {
  auto comma = value.find(',');
  if (comma == std::string::npos) throw kb_error(msg::dest_parameter_not_right());
  std::string type = value.substr(0, comma);
  std::string typed = value.substr(comma + 1);
  if (type.size() > MAX_DEST_TYPE) throw too_long("dest directory type", MAX_DEST_TYPE, type);
  std::string path = resolve(typed);
  // A longer path cut short would name some other directory; members would
  // land there, so the mapping is refused instead.
  if (path.size() > MAX_DEST_PATH) throw too_long("dest directory", MAX_DEST_PATH, path);
  say(msg::dest_field(typed));
  directory dir;
  if (!path.empty()) {
    dir = directory::open(path, true);
    // A file there: the extract names the member it can not write.
    if (!dir.is_open() && errno != ENOTDIR) {  // swapped since it was resolved, a moment ago
      say_reason(path, errno);
      throw kb_error(msg::dest_dir_not_exist(path));
    }
  }
  dirs.push_back({std::move(type), std::move(path), std::move(typed), std::move(dir)});
}

}  // namespace kb
