// Read one member: the first slot matching the name and/or type filter is
// unpacked into the current directory under its stored name. The package is
// read on one stream and never changed.
#include <cerrno>
#include <vector>

#include "ops/pieces.h"
#include "ops/progress.h"

namespace kb {
namespace {

const pac_member* find_member(const pac_options& options, const pac_index& index) {
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    if (selected_by_filters(options, index.members[i])) return &index.members[i];
  }
  return nullptr;
}

}  // namespace

void read_one_member(const pac_options& options, const pac_index& index) {
  if (options.name_filter.empty() && options.type_filter.empty()) {
    throw kb_error("\r\n please entry a file name or type!\r\n");
  }
  const pac_member* m = find_member(options, index);
  if (m == nullptr || field(m->name).empty()) throw kb_error("\r\n File not exsit!\r\n");
  const std::string name(field(m->name));
  check_member_name(name);
  check_not_package(name, options.package_path);

  file_ptr output = open_file(name, "wb");
  if (!output) {
    say_reason(name, errno);
    throw kb_error("\r\n can not write to file:" + name + " \r\n");
  }
  file_ptr package = open_file(options.package_path, "rb");
  if (!package) {
    say_reason(options.package_path, errno);
    throw kb_error("\r\n can not extract from file:" + options.package_path + " \r\n");
  }
  std::setvbuf(output.get(), nullptr, _IONBF, 0);  // pieces are written whole
  chunk_buffer buffer;
  piece_hasher hasher;
  bool all_written = true;
  const std::int64_t offset = read_decimal(field(m->offset));
  std::int64_t remaining = read_decimal(field(m->size));
  progress bar(name, remaining);
  // Short reads and writes stop nothing: the digest below judges the file.
  auto judged = [&](const std::string& path, int err) {
    say_reason(path, err, "the checksum of what was written decides");
  };
  while (remaining > 0) {
    const piece p = take_piece(offset, remaining);
    std::size_t got = read_piece(package.get(), p, buffer.data());
    if (got != p.length) judged(options.package_path, std::ferror(package.get()) ? errno : 0);
    hasher.begin(buffer.data(), got);
    if (std::fwrite(buffer.data(), 1, got, output.get()) != got) {
      if (all_written) judged(name, errno);
      all_written = false;
    }
    hasher.wait();
    bar.advance(static_cast<std::int64_t>(p.length));
  }
  package.reset();
  if (!close_checked(output)) {
    if (all_written) judged(name, errno);
    all_written = false;
  }
  bar.clear();

  char digest[MD5_TEXT_SIZE];
  hasher.digest_hex(digest);
  check_digest(name, *m, all_written ? digest : nullptr);
}

}  // namespace kb
