// Read one member: the first slot matching the name and/or type filter is
// unpacked into the current directory under its stored name. The package is
// read through its descriptor and never changed; the member is written
// under a temporary name and takes its own only once whole and verified,
// so that a failed read leaves whatever had that name as it was.
#include <cerrno>

#include "ops/extract_plan.h"
#include "ops/journal.h"
#include "ops/output.h"
#include "ops/package.h"
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

void read_one_member(const pac_options& options, const package_file& package,
                     const pac_index& index) {
  if (options.name_filter.empty() && options.type_filter.empty()) {
    throw kb_error("\r\n please entry a file name or type!\r\n");
  }
  const pac_member* m = find_member(options, index);
  if (m == nullptr || field(m->name).empty()) throw kb_error("\r\n File not exsit!\r\n");
  const std::string name(field(m->name));
  check_member_name(name);
  struct stat out;
  if (stat(name.c_str(), &out) == 0 && out.st_dev == package.status().st_dev &&
      out.st_ino == package.status().st_ino) {
    throw kb_error("\r\n file " + name + " is the package " + options.package_path +
                   " itself, refusing to overwrite it! \r\n");
  }

  output_file output = output_file::create(".", name, temp_name_for(name), name);
  try {
    chunk_buffer buffer;
    piece_hasher hasher;
    bool all_written = true;
    const std::int64_t offset = read_decimal(field(m->offset));
    const std::int64_t size = read_decimal(field(m->size));
    std::int64_t remaining = size, written = 0;
    progress bar(name, remaining);
    // Short reads and writes stop nothing: the digest below judges the file.
    auto judged = [&](const std::string& path, int err) {
      say_reason(path, err, "the checksum of what was written decides");
    };
    while (remaining > 0) {
      const piece p = take_piece(offset, remaining);
      if (p.start < 0 || !read_at(package.fd(), buffer.data(), p.length, p.start)) {
        judged(options.package_path, errno);
        all_written = false;
        break;
      }
      crypt_decode(buffer.data(), p.length);
      hasher.begin(buffer.data(), p.length);
      if (!write_at(output.fd(), buffer.data(), p.length, written)) {
        if (all_written) judged(name, errno);
        all_written = false;
      }
      written += static_cast<std::int64_t>(p.length);
      hasher.wait();
      bar.advance(static_cast<std::int64_t>(p.length));
    }
    if (all_written && !output.sync()) {
      judged(name, errno);
      all_written = false;
    }
    bar.clear();
    char digest[MD5_TEXT_SIZE] = {};
    hasher.digest_hex(digest);
    if (!all_written) md5_fd_hex(output.fd(), digest);
    // Exactly the record's bytes, and the record's digest.
    if (!all_written || output.length() != size || field(m->md5) != digest) {
      throw kb_error("\r\n file " + name + " checksum " + digest + " not right! \r\n");
    }
    if (!output.commit(output_mode(package.status()))) {
      say_reason(name, errno);
      throw kb_error("\r\n can not write to file:" + name + " \r\n");
    }
  } catch (...) {
    output.discard();
    throw;
  }
}

}  // namespace kb
