// Extract in place: members leave the package from its end backwards, each
// member from its own end backwards, and unless the package is preserved it
// is cut behind every piece taken. The package and the finished outputs then
// never hold more bytes together than the package held at the start, which
// is what lets a nearly full flash unpack its firmware.
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "ops/ops.h"

namespace kb {
namespace {

// The output path of a slot, or an empty text for a slot without a name and
// without a mapping. A mapped directory must still exist when its member
// comes, since it may have gone since the options were parsed.
std::string output_path_of(const pac_member& m, const dest_dir_map& dirs) {
  const std::string& dir = find_dest_dir(dirs, field(m.type));
  std::string name(field(m.name));
  if (dir.empty()) return name;
  if (access(dir.c_str(), F_OK) != 0) {
    throw kb_error("\r\ndest directory " + dir + " not exit! \r\n");
  }
  return dir + "/" + name;
}

bool wanted(const pac_member& m, const pac_options& options) {
  return options.type_filter.empty() || field(m.type) == options.type_filter;
}

// Every member this run would write is checked before the first output is
// created and before the first cut, so a refused member changes nothing.
void check_members(const pac_options& options, const dest_dir_map& dirs, const pac_index& index) {
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    const pac_member& m = index.members[i];
    if (!wanted(m, options) || read_decimal(field(m.offset)) < 0) continue;  // never visited
    std::string_view name = field(m.name);
    if (name.empty()) continue;
    check_member_name(name);
    const std::string& dir = find_dest_dir(dirs, field(m.type));
    check_not_package(dir.empty() ? std::string(name) : dir + "/" + std::string(name),
                      options.package_path);
  }
}

void write_all(std::FILE* output, const unsigned char* buffer, std::size_t length) {
  std::size_t put = 0;
  while (put < length) {
    std::size_t n = std::fwrite(buffer + put, 1, length - put, output);
    if (n == 0) throw kb_error("\r\n fwrite error:0 \r\n");
    put += n;
  }
}

// Moves one piece: open the package, read the piece, close the package, cut
// it behind the piece, write the piece out. The package stream is never held
// across the cut, and the piece leaves the package before its bytes land in
// the output, so the two never hold it twice.
void move_piece(const pac_options& options, const piece& p, unsigned char* buffer,
                std::FILE* output) {
  file_ptr package = open_file(options.package_path, "rb");
  if (!package) {
    throw kb_error("\r\n can not extract from file:" + options.package_path + " \r\n");
  }
  if (read_piece(package.get(), p, buffer) != p.length) {
    throw kb_error("\r\n crypt_fread error:0 \r\n");
  }
  package.reset();
  if (!options.preserve && truncate(options.package_path.c_str(), p.start) != 0) {
    // A cut that fails only keeps the package longer; the run goes on.
  }
  write_all(output, buffer, p.length);
}

std::int64_t file_length(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void extract_member(const pac_options& options, const pac_member& m, const std::string& path,
                    unsigned char* buffer, const piece_hook& after_piece) {
  file_ptr output = open_file(path, "wb");
  if (!output) throw kb_error("\r\n can not write to file:" + path + " \r\n");
  // Pieces are written whole; the stream's own buffer would only copy them.
  std::setvbuf(output.get(), nullptr, _IONBF, 0);

  const std::int64_t offset = read_decimal(field(m.offset));
  std::int64_t remaining = read_decimal(field(m.size));
  while (remaining > 0) {
    move_piece(options, take_piece(offset, remaining), buffer, output.get());
    if (after_piece) after_piece(file_length(options.package_path));
  }
  if (!close_checked(output)) throw kb_error("\r\n fwrite error:0 \r\n");

  check_digest(path, m);
  std::string line = "\r\n extract file ";
  line.append(field(m.name)).append(" size:").append(field(m.size));
  line.append(" md5:").append(field(m.md5)).append(",version:").append(field(m.version));
  line += " successfully! \r\n";
  say(line);
}

}  // namespace

void extract_in_place(const pac_options& options, const dest_dir_map& dirs, pac_index& index,
                      const piece_hook& after_piece) {
  check_members(options, dirs, index);
  std::vector<unsigned char> buffer(PAC_CHUNK_SIZE);
  // The next slot is chosen before this one is worked on.
  for (int i = next_member_by_offset(index); i != -1;) {
    const int next = next_member_by_offset(index);
    const pac_member& m = index.members[i];
    if (wanted(m, options)) {
      std::string path = output_path_of(m, dirs);
      if (!path.empty()) extract_member(options, m, path, buffer.data(), after_piece);
    }
    i = next;
  }
}

}  // namespace kb
