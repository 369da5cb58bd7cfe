// The restorer: after a handled failure or a stop request that came after
// the first cut, the member being extracted goes back into the package and
// a new trailer describes what the package now holds, so that the same
// command can run again and finish the job.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "base/console.h"
#include "base/messages.h"
#include "ops/extract_run.h"
#include "pac/codec.h"

namespace kb {

std::string extract_run::restore_package() {
  try {
    int kept = restore_or_throw();
    // A verified package no longer matches its signature once cut; its
    // journal keeps what a later run needs to verify it again.
    if (journal.key_id.empty()) remove_journal(package);
    return msg::now_holds(options.package_path, kept);
  } catch (const kb_error& e) {
    // Every step below leaves what a kill there would: the journal still
    // describes it, and the same command finishes the extract forward.
    if (journal_is != journal_state::on_disk) return e.what();
    return e.what() + msg::left_for_the_same_command(options.package_path);
  }
}

kb_error extract_run::cannot_restore(const char* why) const {
  std::fprintf(stderr, "kestrelbind: %s: %s\n", options.package_path.c_str(), why);
  return kb_error(msg::cannot_restore(options.package_path, why));
}

int extract_run::restore_or_throw() {
  if (current.output && !done[current.member->slot]) put_member_back();
  return write_trailer();
}

// Returns the member's pieces to the package in stored order, from the
// output's end back to its start. Each piece is on stable storage in the package before the output
// lets it go, and each cut of the output is on stable storage before the
// next piece is written, so that whatever fails (no room: the member's
// output takes more blocks than it did in the package) leaves the package
// cut where the output takes over, a state the journal resumes forward.
void extract_run::put_member_back() {
  const int pkg = package.fd(), out = current.output->fd();
  const planned_member& p = *current.member;
  // A read that ends early leaves errno 0, which says nothing.
  auto failed = [&] {
    return cannot_restore(errno != 0 ? std::strerror(errno) : "unexpected end of file");
  };
  // Pieces written since the last checkpoint are in the package still.
  const std::int64_t out_of_package = p.offset + p.size - expected_length;
  std::int64_t written = std::clamp<std::int64_t>(out_of_package, 0, current.written);
  if (ftruncate(out, written) != 0 || fsync(out) != 0) throw failed();
  std::int64_t end = p.offset + p.size - written;
  if (ftruncate(pkg, end) != 0) throw failed();
  expected_length = end;
  while (written > 0) {
    const std::int64_t start = piece_before(written);
    const auto length = static_cast<std::size_t>(written - start);
    if (!read_at(out, buffer.data(), length, start)) throw failed();
    crypt_encode(buffer.data(), length);
    if (!write_at(pkg, buffer.data(), length, end) || fsync(pkg) != 0) {
      const int err = errno;
      ftruncate(pkg, end);  // the output holds the piece still
      throw cannot_restore(std::strerror(err));
    }
    end += static_cast<std::int64_t>(length);
    expected_length = end;
    if (ftruncate(out, start) != 0 || fsync(out) != 0) throw failed();
    written = start;
  }
  current.output->discard();
  current = member_in_flight{};
}

// Writes a trailer holding the members not yet in their outputs, in their
// slot order, each slot as the package's trailer stored it, right behind
// the last of their data; returns their number.
int extract_run::write_trailer() {
  const int pkg = package.fd();
  std::vector<int> left;
  std::int64_t data_end = 0;
  for (std::size_t i = 0; i < index.members.size(); ++i) {
    if (done[i]) continue;
    data_end = std::max(data_end, index.members[i].offset + index.members[i].size);
    left.push_back(static_cast<int>(i));
  }
  const int kept = static_cast<int>(left.size());
  // Anything behind the last member left is data of slots already done.
  if (data_end > expected_length) throw cannot_restore("members are missing");
  // Until the trailer is whole, the journal says where the members end.
  // (On a disk too full for that, the trailer is written all the same.)
  if (journal_is == journal_state::on_disk) {
    journal.restored_end = data_end;
    if (ftruncate(pkg, data_end) != 0 || fsync(pkg) != 0) {
      throw cannot_restore(std::strerror(errno));
    }
    write_journal(package, journal);
  }
  auto raw = std::make_unique<trailer_bytes>(journal.trailer);
  crypt_decode(raw->data(), raw->size());
  *raw = keep_slots(*raw, left);
  crypt_encode(raw->data(), raw->size());
  expected_length = data_end;
  if (ftruncate(pkg, data_end) != 0 || !write_at(pkg, raw->data(), raw->size(), data_end) ||
      fsync(pkg) != 0) {
    const int err = errno;
    ftruncate(pkg, data_end);  // a part of a trailer is no length a resume knows
    throw cannot_restore(std::strerror(err));
  }
  crypt_decode(raw->data(), raw->size());
  try {
    read_index(*raw, data_end + static_cast<std::int64_t>(PAC_INDEX_SIZE));
  } catch (const kb_error&) {
    throw cannot_restore("what is left does not form a valid package");
  }
  return kept;
}

}  // namespace kb
