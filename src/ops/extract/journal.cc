// The crash journal, written beside the package before an extract in place
// cuts it for the first time and removed when the run ends. Together with
// the package's length it says where every byte of every member is after a
// kill or a power cut: a member stored at or beyond the length is out, the
// one that straddles it has exactly its bytes up to the cut in its output,
// the others are whole in the package.
//
// Layout, text lines with two length-prefixed binary fields:
//
//   kestrelbind journal 2\n
//   length <original package length>\n
//   restored <end of the members put back, or -1>\n
//   mark <32 hex digits: the mark on the run's temporary files>\n
//   key <16 hex digits>\n                                 (when verified)
//   hash <n>\n<n bytes: the signature's hash before the trailer>\n  (when verified)
//   from <n>\n<n bytes: the directory the run started in>\n
//   output <slot> <n>\n<n bytes: the output path>\n      (once per planned slot)
//   temp <slot> <n>\n<n bytes: its temporary name>\n     (after each output)
//   trailer <n>\n<the package's trailer bytes as stored>\n
//   md5 <32 hex digits: MD5 of every byte before this line>\n
//
// The trailer is kept whole, or, when the slots past its count are all
// NUL (as make writes them), without those: its first 32 + 480 * count
// bytes and its last 128, so that the journal needs little room on a full
// flash.
//
// The journal is outside input like the package: it is read whole within a
// bound, every field is checked, and its paths must end in their member's
// name and hold no "..". Its MD5 only catches a torn write; it vouches for
// nothing, so a resume trusts none of it that it can not check.
#include "ops/extract/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>

#include "base/console.h"
#include "base/io.h"
#include "base/messages.h"
#include "base/staged_file.h"
#include "pac/codec.h"
#include "pac/digest.h"

namespace kb {
namespace {

// An output of a member without a -d directory lies in the directory the
// run started in, which may be as long as the system allows.
constexpr std::size_t MAX_OUTPUT_PATH = PATH_MAX + PAC_NAME_MAX + 1;
constexpr std::size_t MAX_JOURNAL = 1024 * 1024;
constexpr std::size_t MAX_HASH_STATE = 512;
const char MAGIC[] = "kestrelbind journal 2\n";
constexpr std::size_t TRAILER_HEAD = 32, SLOT = 480, TRAILER_TAIL = 128;

// Reads the fields of a journal in order, refusing anything out of place.
class journal_reader {
 public:
  journal_reader(const std::string& text, const std::string& path) : text_(text), path_(path) {}

  kb_error damaged() const { return kb_error(msg::journal_damaged(path_)); }

  void expect(std::string_view word) {
    if (text_.compare(at_, word.size(), word) != 0) throw damaged();
    at_ += word.size();
  }

  bool next_is(std::string_view word) const { return text_.compare(at_, word.size(), word) == 0; }

  // A decimal number of at most 10 digits (or -1 where allowed), then end.
  std::int64_t number(char end, bool allow_minus_one = false) {
    std::int64_t v = -1;
    if (allow_minus_one && next_is("-1")) {
      at_ += 2;
    } else {
      const char* first = text_.data() + at_;
      const char* last = first + std::min<std::size_t>(text_.size() - at_, 10);
      const auto [stop, error] = std::from_chars(first, last, v);
      if (error != std::errc() || *first == '-') throw damaged();
      at_ += static_cast<std::size_t>(stop - first);
    }
    expect(std::string_view(&end, 1));
    return v;
  }

  // "<n>\n<n bytes>\n", at most max bytes.
  std::string text(std::size_t max) {
    const auto n = static_cast<std::size_t>(number('\n'));
    if (n > max) throw damaged();
    std::string out = bytes(n);
    expect("\n");
    return out;
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

kb_error mismatch(const std::string& package_path) {
  return kb_error(msg::journal_mismatch(journal_path(package_path), package_path));
}

std::string journal_path(const std::string& package_path) {
  return package_path + ".journal";
}

std::string journal_name(const package_file& package) {
  return package.name() + ".journal";
}

std::string journal_temp_stem(const package_file& package) {
  return journal_name(package) + ".";
}

bool journal_exists(const package_file& package) {
  struct stat st;
  return fstatat(package.dir().fd(), journal_name(package).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {

// The stored trailer without its last slots when they are all NUL (a NUL
// is stored as it is).
std::string compact_trailer(const trailer_bytes& t) {
  const std::size_t tail_at = PAC_INDEX_SIZE - TRAILER_TAIL;
  std::size_t head = tail_at;
  while (head > TRAILER_HEAD && std::all_of(t.begin() + head - SLOT, t.begin() + head,
                                            [](unsigned char c) { return c == 0; })) {
    head -= SLOT;
  }
  return std::string(t.begin(), t.begin() + head) + std::string(t.begin() + tail_at, t.end());
}

void append_field(std::string& text, const std::string& label, const std::string& value) {
  text += label + " " + std::to_string(value.size()) + "\n" + value + "\n";
}

}  // namespace

namespace {

std::string journal_text(const extract_journal& j) {
  std::string text = MAGIC;
  text += "length " + std::to_string(j.original_length) + "\n";
  text += "restored " + std::to_string(j.restored_end) + "\n";
  if (!j.mark.empty()) text += "mark " + j.mark + "\n";
  if (!j.key_id.empty()) text += "key " + j.key_id + "\n";
  if (!j.hash_state.empty()) append_field(text, "hash", j.hash_state);
  append_field(text, "from", j.started_in);
  for (int i = 0; i < PAC_MAX_MEMBERS; ++i) {
    if (j.outputs[i].empty()) continue;
    append_field(text, "output " + std::to_string(i), j.outputs[i]);
    append_field(text, "temp " + std::to_string(i), j.temps[i]);
  }
  append_field(text, "trailer", compact_trailer(j.trailer));
  text += "md5 " + md5_hex(text) + "\n";
  return text;
}

}  // namespace

std::size_t journal_bytes(const extract_journal& j) {
  return journal_text(j).size();
}

bool write_journal(const package_file& package, const extract_journal& j) {
  const std::string text = journal_text(j);

  // A name of its own, created here and now: whatever lies at any other
  // name in the package's directory is not followed, and the rename
  // replaces a link at the journal's name rather than writing through it.
  const std::string shown = journal_path(package.path());
  auto file =
      staged_file::create_unique(package.dir(), journal_temp_stem(package), journal_name(package));
  if (!file) {
    const int err = errno;
    say_reason(shown, err, "the journal is not written");
    errno = err;
    return false;
  }
  if (!write_at(file->fd(), reinterpret_cast<const unsigned char*>(text.data()), text.size(), 0) ||
      !file->sync() || !file->commit(0600)) {
    const int err = errno;
    say_reason(shown, err, "the journal is not written");
    file->discard();
    errno = err;
    return false;
  }
  return true;
}

namespace {

// The trailer whole again from its compact form.
trailer_bytes expand_trailer(const std::string& compact, const journal_reader& r) {
  std::string raw = compact;
  if (compact.size() != PAC_INDEX_SIZE) {
    const std::size_t head = compact.size() - TRAILER_TAIL;
    if (compact.size() < TRAILER_HEAD + TRAILER_TAIL || (head - TRAILER_HEAD) % SLOT != 0) {
      throw r.damaged();
    }
    raw = compact.substr(0, head) + std::string(PAC_INDEX_SIZE - compact.size(), '\0') +
          compact.substr(head);
  }
  trailer_bytes t{};
  std::copy(raw.begin(), raw.end(), t.begin());
  return t;
}

// Takes each slot's output and temporary name, which must name a member of
// index, end in its name, and not be another slot's.
void take_outputs(extract_journal& j, const pac_index& index,
                  std::string (&outputs)[PAC_MAX_MEMBERS], std::string (&temps)[PAC_MAX_MEMBERS],
                  const journal_reader& r) {
  for (int i = 0; i < PAC_MAX_MEMBERS; ++i) {
    if (outputs[i].empty()) continue;
    if (i >= static_cast<int>(index.members.size()) ||
        !plain_path(outputs[i], index.members[i].name) ||
        !is_temp_name_for(temps[i], index.members[i].name)) {
      throw r.damaged();
    }
    for (int k = 0; k < i; ++k) {
      if (j.outputs[k] == outputs[i]) throw r.damaged();
    }
    j.outputs[i] = std::move(outputs[i]);
    j.temps[i] = std::move(temps[i]);
  }
}

}  // namespace

extract_journal read_journal(const package_file& package, pac_index& index) {
  const std::string& package_path = package.path();
  const std::string path = journal_path(package_path);
  const std::optional<std::string> read =
      read_bounded_at(package.dir().fd(), journal_name(package), path, MAX_JOURNAL);
  if (!read) throw kb_error(msg::cannot_read_journal(path));
  const std::string& text = *read;
  journal_reader r(text, path);
  extract_journal j;
  r.expect(MAGIC);
  r.expect("length ");
  j.original_length = r.number('\n');
  r.expect("restored ");
  j.restored_end = r.number('\n', true);
  if (r.next_is("mark ")) {
    r.expect("mark ");
    j.mark = r.bytes(32);
    r.expect("\n");
    if (j.mark.find_first_not_of("0123456789abcdef") != std::string::npos) throw r.damaged();
  }
  if (r.next_is("key ")) {
    r.expect("key ");
    j.key_id = r.bytes(16);
    r.expect("\n");
    if (j.key_id.find_first_not_of("0123456789ABCDEF") != std::string::npos) throw r.damaged();
  }
  if (r.next_is("hash ")) {
    r.expect("hash ");
    j.hash_state = r.text(MAX_HASH_STATE);
  }
  r.expect("from ");
  j.started_in = r.text(MAX_OUTPUT_PATH);
  std::string outputs[PAC_MAX_MEMBERS], temps[PAC_MAX_MEMBERS];
  for (int last = -1; r.next_is("output ");) {
    r.expect("output ");
    const std::int64_t slot = r.number(' ');
    if (slot <= last || slot >= PAC_MAX_MEMBERS) throw r.damaged();
    last = static_cast<int>(slot);
    outputs[slot] = r.text(MAX_OUTPUT_PATH);
    r.expect("temp " + std::to_string(slot) + " ");
    temps[slot] = r.text(MAX_OUTPUT_PATH);
  }
  r.expect("trailer ");
  j.trailer = expand_trailer(r.text(PAC_INDEX_SIZE), r);
  const std::string body = text.substr(0, r.at());
  r.expect("md5 ");
  if (r.bytes(32) != md5_hex(body)) throw r.damaged();
  r.expect("\n");
  if (!r.at_end()) throw r.damaged();

  trailer_bytes plain = j.trailer;
  crypt_decode(plain.data(), plain.size());
  if (j.restored_end > j.original_length) throw mismatch(package_path);
  try {
    index = read_index(plain, j.original_length);
  } catch (const kb_error&) {
    throw r.damaged();
  }
  take_outputs(j, index, outputs, temps, r);
  return j;
}

std::int64_t journal_leftovers(const package_file& package, bool remove) {
  const int dir = package.dir().fd();
  // A run killed while it wrote the journal left it under its own name.
  const int listed = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::int64_t bytes = 0;
  if (DIR* d = listed >= 0 ? fdopendir(listed) : nullptr) {
    while (const dirent* e = readdir(d)) {
      struct stat st;
      if (!is_own_name(e->d_name, journal_temp_stem(package))) continue;
      if (remove) {
        unlinkat(dir, e->d_name, 0);
      } else if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        bytes += st.st_blocks * 512;
      }
    }
    closedir(d);
  } else if (listed >= 0) {
    close(listed);
  }
  return bytes;
}

bool remove_journal(const package_file& package) {
  journal_leftovers(package, true);
  const int dir = package.dir().fd();
  if (unlinkat(dir, journal_name(package).c_str(), 0) != 0 && errno != ENOENT) {
    say_reason(journal_path(package.path()), errno);
    return false;
  }
  fsync(dir);
  return true;
}

}  // namespace kb
