// The crash journal, written beside the package before an extract in place
// cuts it for the first time and removed when the run ends. Together with
// the package's length it says where every byte of every member is after a
// kill or a power cut: a member stored at or beyond the length is out, the
// one that straddles it has exactly its bytes up to the cut in its output,
// the others are whole in the package.
//
// Layout, text lines with two length-prefixed binary fields:
//
//   kestrelbind journal 1\n
//   length <original package length>\n
//   restored <end of the members put back, or -1>\n
//   key <16 hex digits>\n                                 (when verified)
//   output <slot> <n>\n<n bytes: the output path>\n      (once per planned slot)
//   trailer 24160\n<the package's 24160 trailer bytes as stored>\n
//   md5 <32 hex digits: MD5 of every byte before this line>\n
//
// The journal is outside input like the package: it is read whole within a
// bound, every field is checked, and its paths must end in their member's
// name and hold no "..".
#include "ops/journal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace kb {
namespace {

constexpr std::size_t MAX_JOURNAL = 64 * 1024;
constexpr std::size_t MAX_OUTPUT_PATH = 511;
const char MAGIC[] = "kestrelbind journal 1\n";

std::string md5_hex_of(const std::string& bytes) {
  char out[MD5_TEXT_SIZE];
  md5_bytes_hex(bytes, out);
  return out;
}

// Reads the fields of a journal in order, refusing anything out of place.
class journal_reader {
 public:
  journal_reader(const std::string& text, const std::string& path) : text_(text), path_(path) {}

  kb_error damaged() const {
    return kb_error("\r\n journal " + path_ + " is damaged, refusing to follow it! \r\n");
  }

  void expect(std::string_view word) {
    if (text_.compare(at_, word.size(), word) != 0) throw damaged();
    at_ += word.size();
  }

  bool next_is(std::string_view word) const { return text_.compare(at_, word.size(), word) == 0; }

  // A decimal number of at most 10 digits (or -1 where allowed), then end.
  std::int64_t number(char end, bool allow_minus_one = false) {
    if (allow_minus_one && next_is("-1")) {
      at_ += 2;
    } else {
      std::size_t digits = 0;
      std::int64_t v = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && digits < 10) {
        v = v * 10 + (text_[at_++] - '0');
        ++digits;
      }
      if (digits == 0) throw damaged();
      expect(std::string_view(&end, 1));
      return v;
    }
    expect(std::string_view(&end, 1));
    return -1;
  }

  std::string bytes(std::size_t n) {
    if (text_.size() - at_ < n) throw damaged();
    std::string out = text_.substr(at_, n);
    at_ += n;
    return out;
  }

  std::size_t at() const { return at_; }
  bool at_end() const { return at_ == text_.size(); }

 private:
  const std::string& text_;
  const std::string& path_;
  std::size_t at_ = 0;
};

bool plain_path(const std::string& path, std::string_view name) {
  if (path.empty() || path.size() > MAX_OUTPUT_PATH || path.find('\0') != std::string::npos) {
    return false;
  }
  const std::string slashed = "/" + path + "/";
  if (slashed.find("/../") != std::string::npos || slashed.find("/./") != std::string::npos) {
    return false;
  }
  auto slash = path.rfind('/');
  return std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1) == name;
}

}  // namespace

std::string journal_path(const std::string& package_path) {
  return package_path + ".journal";
}

bool journal_exists(const std::string& package_path) {
  return access(journal_path(package_path).c_str(), F_OK) == 0;
}

void sync_parent_directory(const std::string& path) {
  auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  fd_closer fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) fsync(fd.get());
}

bool write_journal(const std::string& package_path, const extract_journal& j) {
  std::string text = MAGIC;
  text += "length " + std::to_string(j.original_length) + "\n";
  text += "restored " + std::to_string(j.restored_end) + "\n";
  if (!j.key_id.empty()) text += "key " + j.key_id + "\n";
  for (int i = 0; i < PAC_MAX_MEMBERS; ++i) {
    const std::string& out = j.outputs[i];
    if (out.empty()) continue;
    text += "output " + std::to_string(i) + " " + std::to_string(out.size()) + "\n" + out + "\n";
  }
  text += "trailer " + std::to_string(PAC_INDEX_SIZE) + "\n";
  text.append(j.trailer.begin(), j.trailer.end());
  text += "\n";
  text += "md5 " + md5_hex_of(text) + "\n";

  const std::string final_path = journal_path(package_path);
  const std::string temp = final_path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    say_reason(temp, errno);
    return false;
  }
  bool ok = write_at(fd, reinterpret_cast<const unsigned char*>(text.data()), text.size(), 0) &&
            fsync(fd) == 0;
  int err = errno;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), final_path.c_str()) != 0) {
    say_reason(ok ? final_path : temp, ok ? errno : err);
    unlink(temp.c_str());
    return false;
  }
  sync_parent_directory(final_path);
  return true;
}

extract_journal read_journal(const std::string& package_path, pac_index& index) {
  const std::string path = journal_path(package_path);
  const std::optional<std::string> read = read_bounded(path, MAX_JOURNAL);
  if (!read) throw kb_error("\r\n can not read journal " + path + "! \r\n");
  const std::string& text = *read;
  journal_reader r(text, path);
  extract_journal j;
  r.expect(MAGIC);
  r.expect("length ");
  j.original_length = r.number('\n');
  r.expect("restored ");
  j.restored_end = r.number('\n', true);
  if (r.next_is("key ")) {
    r.expect("key ");
    j.key_id = r.bytes(16);
    r.expect("\n");
    if (j.key_id.find_first_not_of("0123456789ABCDEF") != std::string::npos) throw r.damaged();
  }
  std::string outputs[PAC_MAX_MEMBERS];
  for (int last = -1; r.next_is("output ");) {
    r.expect("output ");
    const std::int64_t slot = r.number(' ');
    const auto length = static_cast<std::size_t>(r.number('\n'));
    if (slot <= last || slot >= PAC_MAX_MEMBERS || length > MAX_OUTPUT_PATH) throw r.damaged();
    last = static_cast<int>(slot);
    outputs[slot] = r.bytes(length);
    r.expect("\n");
  }
  r.expect("trailer 24160\n");
  const std::string raw = r.bytes(PAC_INDEX_SIZE);
  r.expect("\n");
  const std::string body = text.substr(0, r.at());
  r.expect("md5 ");
  if (r.bytes(32) != md5_hex_of(body)) throw r.damaged();
  r.expect("\n");
  if (!r.at_end()) throw r.damaged();

  std::copy(raw.begin(), raw.end(), j.trailer.begin());
  trailer_bytes plain = j.trailer;
  crypt_decode(plain.data(), plain.size());
  struct stat st;
  if (stat(package_path.c_str(), &st) != 0 || st.st_size > j.original_length ||
      j.restored_end > j.original_length) {
    throw kb_error("\r\n journal " + path + " does not match package " + package_path +
                   ", refusing to follow it! \r\n");
  }
  try {
    pac_index_check(plain, j.original_length, index);
  } catch (const kb_error&) {
    throw r.damaged();
  }
  for (int i = 0; i < PAC_MAX_MEMBERS; ++i) {
    if (outputs[i].empty()) continue;
    if (i >= member_count(index) || !plain_path(outputs[i], field(index.members[i].name))) {
      throw r.damaged();
    }
    // Never the package itself, never one path for two members.
    check_not_package(outputs[i], package_path);
    for (int k = 0; k < i; ++k) {
      if (j.outputs[k] == outputs[i]) throw r.damaged();
    }
    j.outputs[i] = std::move(outputs[i]);
  }
  return j;
}

resume_plan plan_resume(const std::string& package_path, pac_index& index) {
  resume_plan plan;
  plan.journal = read_journal(package_path, index);
  struct stat st;
  if (stat(package_path.c_str(), &st) != 0) throw cut_short(package_path);
  // Cut short before the first cut: the package is as it was.
  if (st.st_size == plan.journal.original_length && plan.journal.restored_end < 0) {
    trailer_bytes now{};
    fd_closer fd(open(package_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() >= 0 &&
        pread(fd.get(), now.data(), now.size(), st.st_size - std::int64_t(PAC_INDEX_SIZE)) ==
            static_cast<ssize_t>(now.size()) &&
        now == plan.journal.trailer) {
      return plan;  // the fresh run replaces the journal, or removes it at its end
    }
  }
  plan.length = st.st_size;
  // Pieces leave a member from its stored end, whole ones first: a length
  // inside a member anywhere else is not one this tool cut.
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    const pac_member& m = index.members[i];
    const std::int64_t offset = read_decimal(field(m.offset)), size = read_decimal(field(m.size));
    if (!plan.journal.outputs[i].empty() && offset < plan.length && plan.length < offset + size &&
        (offset + size - plan.length) % static_cast<std::int64_t>(PAC_CHUNK_SIZE) != 0) {
      throw kb_error("\r\n journal " + journal_path(package_path) + " does not match package " +
                     package_path + ", refusing to follow it! \r\n");
    }
  }
  return plan;
}

void remove_journal(const std::string& package_path) {
  const std::string path = journal_path(package_path);
  unlink((path + ".tmp").c_str());  // left by a run killed while writing it
  if (unlink(path.c_str()) == 0) sync_parent_directory(path);
}

void load_package(const std::string& path, pac_index& index) {
  try {
    pac_index_load(path, index);
  } catch (const kb_error&) {
    if (journal_exists(path)) throw cut_short(path);
    throw;
  }
}

kb_error cut_short(const std::string& package_path) {
  return kb_error("\r\n an extract of " + package_path + " was cut short, run kestrelbind -e " +
                  package_path + " to finish it! \r\n");
}

}  // namespace kb
