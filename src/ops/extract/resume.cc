// The resume of an extract in place that a kill or a power cut stopped: the
// journal beside the package and the package's length say where every byte
// is. A member stored at or beyond the length is out (under its temporary
// name, or its own once it was checked), the one that straddles it has its
// bytes up to the cut in its temporary file, the others are whole in the
// package.
//
// Nothing in the journal is taken on trust. Its outputs must be the ones
// this very command plans; every output that must hold bytes is found
// before anything is written or cut, so that an output that is not there
// (a partition not mounted yet) changes nothing; and with a key, the
// package as it was before its first cut is put together again from the
// package, the outputs and the journal's trailer and verified like a fresh
// one.
#include <fcntl.h>
#include <md5.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/console.h"
#include "base/messages.h"
#include "ops/extract/mover.h"
#include "ops/extract/resume.h"
#include "ops/selection.h"
#include "pac/codec.h"
#include "pac/digest.h"
#include "pac/pieces.h"
#include "trust/signature.h"

namespace kb {
namespace {

enum class where {
  in_package,   // whole in the package
  straddling,   // its first bytes in its output, the rest in the package
  out,          // all in its output
  done_before,  // out and under its name before a put-back
};

struct resumed_member {
  const planned_member* plan;
  where is;
  std::int64_t out_bytes = 0;  // of its bytes, those that left the package
  std::optional<output_file> holder;
  bool lost = false;  // its output lacks bytes the package no longer holds
};

// The journal sends members only where this same command would.
void check_same_outputs(extract_plan& plan, const extract_journal& j, const std::string& pkg) {
  std::array<bool, PAC_MAX_MEMBERS> planned{};
  for (auto& p : plan.members) {
    if (p.name.empty()) continue;
    planned[p.slot] = true;
    if (j.outputs[p.slot] != p.output()) {
      throw kb_error(msg::other_destinations(pkg, shown(j.started_in)));
    }
    p.temp = j.temps[p.slot];
  }
  for (int i = 0; i < PAC_MAX_MEMBERS; ++i) {
    if (!planned[i] && !j.outputs[i].empty()) throw mismatch(pkg);
  }
}

kb_error not_there(const resumed_member& r, const char* what) {
  return kb_error(msg::output_missing_bytes(r.plan->output(), r.out_bytes, r.plan->name, what));
}

// Whether the bytes the output holds past those that left the package (up
// to has) are the package's there: written since the last checkpoint, they
// are in it still, byte for byte. Others mean the package is not as the
// run left it (grown by whole pieces, it passes for a cut not yet made),
// and dropping them would lose bytes that are nowhere else.
bool past_cut_in_package(const resumed_member& r, const package_file& package, std::int64_t has) {
  const planned_member& p = *r.plan;
  constexpr std::size_t HALF = PAC_CHUNK_SIZE / 2;
  chunk_buffer buffer(PAC_CHUNK_SIZE);  // the output's bytes, then the package's
  unsigned char *out = buffer.data(), *in = buffer.data() + HALF;
  const std::int64_t to = std::min(p.size, (has + PIECE_BYTES - 1) / PIECE_BYTES * PIECE_BYTES);
  piece_walk walk(p.offset, p.size, r.out_bytes, to, piece_walk::member_order);
  for (piece pc; walk.next(pc);) {
    const std::int64_t length = std::min<std::int64_t>(std::int64_t(pc.length), has - pc.at);
    for (std::int64_t done = 0; done < length;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(HALF, length - done));
      if (!read_at(r.holder->fd(), out, n, pc.at + done) ||
          !read_at(package.fd(), in, n, pc.start + done)) {
        return false;
      }
      crypt_decode(in, n);
      if (!std::equal(out, out + n, in)) return false;
      done += static_cast<std::int64_t>(n);
    }
  }
  return true;
}

// Whether the member's first w bytes from its output and the rest from the
// package make it whole: the digest md5.
bool whole_with_output_to(const resumed_member& r, const package_file& package, std::int64_t w,
                          const std::string& md5) {
  const planned_member& p = *r.plan;
  chunk_buffer buffer(PAC_CHUNK_SIZE);
  MD5_CTX ctx;
  MD5Init(&ctx);
  piece_walk walk(p.offset, p.size, 0, p.size, piece_walk::member_order);
  for (piece pc; walk.next(pc);) {
    const bool out = pc.at < w;
    if (!read_at(out ? r.holder->fd() : package.fd(), buffer.data(), pc.length,
                 out ? pc.at : pc.start)) {
      return false;
    }
    if (!out) crypt_decode(buffer.data(), pc.length);
    MD5Update(&ctx, buffer.data(), pc.length);
  }
  char digest[MD5_TEXT_SIZE];
  MD5End(&ctx, digest);
  return md5 == digest;
}

// The output holds more of the member than left the package (has bytes).
// Written since the last checkpoint, they are the package's bytes there.
// If not, the cut was rolled back by a power cut after the rest of its
// last block was zeroed, or the package grew by whole pieces; the output's
// were synced before any cut let them go, and are taken when they make the
// member whole. Else nothing is changed.
void take_written(resumed_member& r, const package_file& package, std::int64_t has,
                  const std::string& md5) {
  const planned_member& p = *r.plan;
  if (past_cut_in_package(r, package, has)) return;
  const std::int64_t w = has >= p.size ? p.size : has / PIECE_BYTES * PIECE_BYTES;
  if (w <= r.out_bytes || !whole_with_output_to(r, package, w, md5)) {
    throw mismatch(package.path());
  }
  r.out_bytes = w;
  r.is = w == p.size ? where::out : where::straddling;
}

// The member whole under its own name already, proven by its digest md5;
// nothing when it is not.
std::optional<staged_file> installed_whole(const planned_member& p, const std::string& md5) {
  auto installed = staged_file::open_final(p.at, p.name);
  char digest[MD5_TEXT_SIZE] = {};
  if (!installed || md5_fd_hex(installed->fd(), digest) != 0 || md5 != digest) return std::nullopt;
  return installed;
}

// Finds the output that holds what left the package of a member.
void find_holder(resumed_member& r, const package_file& package, const std::string& md5,
                 const std::string& mark) {
  const planned_member& p = *r.plan;
  r.holder = staged_file::adopt(p.at, p.temp, p.name, mark);
  if (!r.holder && r.is != where::straddling) r.holder = staged_file::open_final(p.at, p.name);
  if (!r.holder && r.is == where::straddling) {
    // Out whole and under its name while the package kept its pieces (its
    // cuts failed, the flash gone read-only): its digest proves it.
    if ((r.holder = installed_whole(p, md5))) {
      r.is = where::done_before;
      return;
    }
  }
  if (!r.holder) {
    if (r.out_bytes == 0) return;  // nothing of it to keep: it is written anew
    throw not_there(r, "missing");
  }
  const std::int64_t has = r.holder->length();
  // Short by up to one piece: cut back while the run was down (the run
  // cuts nothing it has not synced), its bytes named and left out.
  // Shorter: not this output.
  if (has < r.out_bytes - PIECE_BYTES) throw not_there(r, "shorter");
  r.lost = has < r.out_bytes;
  if (has > r.out_bytes) take_written(r, package, has, md5);
}

// A member the package holds whole may have bytes in its output already,
// written before a cut that a power cut rolled back. With installed, one
// already whole under its name (its cuts all rolled back by a flash gone
// read-only, or the same as the one installed before) is proven there by
// its digest, whatever the package's copy has become.
void find_written(resumed_member& r, const package_file& package, const std::string& md5,
                  const std::string& mark, bool installed = false) {
  const planned_member& p = *r.plan;
  r.holder = staged_file::adopt(p.at, p.temp, p.name, mark);
  const std::int64_t has = r.holder ? r.holder->length() : 0;
  if (has > 0) take_written(r, package, has, md5);
  if (r.out_bytes > 0) return;
  r.holder.reset();  // a leftover: it is written anew
  if (installed && (r.holder = installed_whole(p, md5))) {
    r.is = where::out;
    r.out_bytes = p.size;
  }
}

// The package as it was before its first cut, in order: what it holds
// still, each member's bytes that left it (from its output, in stored
// order, scrambled again), and the journal's trailer.
void feed_original(const package_file& package, std::vector<resumed_member>& members,
                   std::int64_t data_length, const extract_journal& j, const hash_sink& sink) {
  const std::string& path = package.path();
  const auto cannot = [&] { return kb_error(msg::cannot_be_put_together(path)); };
  chunk_buffer buffer(PAC_CHUNK_SIZE);
  for (std::int64_t at = 0; at < data_length; at += PIECE_BYTES) {
    const auto n = static_cast<std::size_t>(std::min(PIECE_BYTES, data_length - at));
    if (!read_at(package.fd(), buffer.data(), n, at)) throw cannot();
    sink(buffer.data(), n);
  }
  std::vector<resumed_member*> out;
  for (auto& r : members) {
    if (r.plan->offset + r.plan->size > data_length) out.push_back(&r);
  }
  std::sort(out.begin(), out.end(),
            [](auto* a, auto* b) { return a->plan->offset < b->plan->offset; });
  std::int64_t at = data_length;
  for (const resumed_member* r : out) {
    const planned_member& p = *r->plan;
    if (std::max(p.offset, data_length) != at || !r->holder || r->lost) throw cannot();
    // The pieces that left are the member's first ones (all of them when
    // out_bytes is its size), stored last first.
    piece_walk walk(p.offset, p.size, 0, r->out_bytes, piece_walk::stored_order);
    for (piece pc; walk.next(pc);) {
      if (!read_at(r->holder->fd(), buffer.data(), pc.length, pc.at)) throw cannot();
      crypt_encode(buffer.data(), pc.length);
      sink(buffer.data(), pc.length);
    }
    at = p.offset + p.size;
  }
  if (at != j.original_length - static_cast<std::int64_t>(PAC_INDEX_SIZE)) throw cannot();
  sink(j.trailer.data(), j.trailer.size());
}

std::int64_t data_end_of(const extract_journal& j) {
  return j.original_length - static_cast<std::int64_t>(PAC_INDEX_SIZE);
}

// Where the run was cut: the end of the data the package still holds, and
// the end of the members a put-back left in it (those above were out).
struct cut_point {
  bool stale = false;  // the package is whole, as before the run's first cut
  std::int64_t data_length = 0, done_from = 0;
  std::int64_t length = 0;  // the package's, as found: the one the run acts on
};

// The end of the members a put-back left in the package when its trailer is
// whole but the journal could not be told (no room for its new copy): a
// trailer at the end whose every slot is one of the journal's; -1 for none.
std::int64_t restored_without_journal(const package_file& package, const pac_index& original,
                                      std::int64_t length) {
  const std::int64_t at = length - static_cast<std::int64_t>(PAC_INDEX_SIZE);
  auto raw = std::make_unique<trailer_bytes>();
  if (at < 0 || !read_at(package.fd(), raw->data(), raw->size(), at)) return -1;
  crypt_decode(raw->data(), raw->size());
  pac_index left;
  try {
    left = read_index(*raw, length);
  } catch (const kb_error&) {
    return -1;
  }
  for (const pac_member& m : left.members) {
    const bool known =
        std::any_of(original.members.begin(), original.members.end(), [&](const pac_member& o) {
          return o.type == m.type && o.name == m.name && o.size_text == m.size_text &&
                 o.offset_text == m.offset_text && o.md5 == m.md5 && o.version == m.version;
        });
    if (!known) return -1;
  }
  return at;
}

cut_point find_cut(const package_file& package, const extract_journal& j, const pac_index& original,
                   const std::string& path) {
  const std::int64_t length = package.length();
  const std::int64_t data_end = j.original_length - static_cast<std::int64_t>(PAC_INDEX_SIZE);
  if (length > j.original_length) throw mismatch(path);
  cut_point cut;
  cut.length = length;
  // Whole again (never cut, or put back whole, or fetched again after a
  // put-back): whatever the journal says happened, a fresh run verifies
  // the package as its command line says.
  if (length == j.original_length) {
    trailer_bytes now{};
    cut.stale = read_at(package.fd(), now.data(), now.size(), data_end) && now == j.trailer;
    cut.data_length = cut.done_from = data_end;
    if (cut.stale) return cut;
  }
  cut.data_length = std::min(length, data_end);
  cut.done_from = data_end;
  std::int64_t restored = j.restored_end;
  if (restored < 0) restored = restored_without_journal(package, original, length);
  if (restored >= 0) {  // with a trailer behind them once it was written
    if (length > restored + static_cast<std::int64_t>(PAC_INDEX_SIZE)) throw mismatch(path);
    cut.data_length = std::min(length, restored);
    cut.done_from = restored;
  }
  // A put-back killed inside a piece leaves part of it beyond the last
  // whole one; its output holds it all still, for an output lets a piece
  // go only once the package holds it again, synced: the part is not
  // counted.
  for (const pac_member& m : original.members) {
    const std::int64_t end = m.offset + m.size;
    if (m.offset < cut.data_length && cut.data_length < end) {
      const std::int64_t out =
          (end - cut.data_length + PIECE_BYTES - 1) / PIECE_BYTES * PIECE_BYTES;
      cut.data_length = std::max(m.offset, end - out);
    }
  }
  return cut;
}

// Where each planned member is, with the output that holds what left the
// package; throws, changing nothing, when one is not there.
std::vector<resumed_member> find_members(const extract_plan& plan, const cut_point& cut,
                                         const extract_journal& j, const package_file& package,
                                         const pac_index& index) {
  std::vector<resumed_member> members;
  for (const auto& p : plan.members) {
    resumed_member r{&p, where::in_package, 0, std::nullopt, false};
    const std::int64_t end = p.offset + p.size;
    if (p.offset >= cut.done_from && cut.done_from < data_end_of(j)) {
      r.is = where::done_before;
      r.out_bytes = p.size;
    } else if (end > cut.data_length) {
      r.is = p.offset >= cut.data_length ? where::out : where::straddling;
      r.out_bytes = end - std::max(p.offset, cut.data_length);
    }
    if (r.is == where::in_package && !p.name.empty()) {
      find_written(r, package, index.members[p.slot].md5, j.mark, true);
    } else if (!p.name.empty()) {
      if (r.is != where::done_before) {
        find_holder(r, package, index.members[p.slot].md5, j.mark);
      } else {
        r.holder = staged_file::open_final(p.at, p.name);
      }
    }
    members.push_back(std::move(r));
  }
  return members;
}

// A package whole again by its length and trailer may still have lost
// bytes: a first cut that a power cut rolled back after the rest of its
// block was zeroed. An output that holds a member's bytes the package no
// longer has says so (or, holding what makes no member whole, stops the
// run, nothing changed).
bool outputs_hold_more(extract_plan plan, const extract_journal& j, const package_file& package,
                       const pac_index& index) {
  for (auto& p : plan.members) {
    if (p.name.empty() || j.outputs[p.slot] != p.output()) continue;
    p.temp = j.temps[p.slot];
    resumed_member r{&p, where::in_package, 0, std::nullopt, false};
    find_written(r, package, index.members[p.slot].md5, j.mark);
    if (r.out_bytes > 0) return true;
  }
  return false;
}

void finish_members(mover& run, const extract_plan& plan, std::vector<resumed_member>& members) {
  run.guarded([&] {
    for (auto& r : members) {
      const planned_member& p = *r.plan;
      if (r.is == where::done_before && !p.name.empty()) {
        // The journal says a put-back found it out under its name; only
        // that name holding the trailer's bytes proves it, for the journal
        // is anyone's to write.
        run.prove_installed(p, r.holder);
      } else if (r.is == where::done_before || (r.is != where::in_package && p.name.empty())) {
        run.already_out(p);
      } else if (r.lost) {
        r.holder->discard();
        run.lose(p);
      } else if (r.is == where::out && r.holder) {
        run.finish_out(p, std::move(*r.holder));
      } else if (r.is == where::straddling) {
        run.extract_member(p, r.out_bytes, std::move(r.holder));
      } else {
        run.extract_member(p);
      }
    }
    run.finish(plan);
  });
}

}  // namespace

std::optional<verified_package> resume_extract(const pac_options& options, const dest_dir_map& dirs,
                                               package_file& package, extract_journal& stale,
                                               resume_preview* preview) {
  const std::string& path = options.package_path;
  if (!journal_exists(package)) return std::nullopt;
  pac_index index;
  extract_journal journal = read_journal(package, index);
  check_printed_fields(index, path);
  cut_point cut = find_cut(package, journal, index, path);
  if (cut.stale) {
    if (!outputs_hold_more(plan_extract(options, dirs, index, package), journal, package, index)) {
      stale = std::move(journal);  // a fresh run, verified as its command line says
      return std::nullopt;
    }
    cut.stale = false;
  }
  if (!journal.key_id.empty() && options.key_path.empty()) {
    throw kb_error(msg::give_the_key(path, journal.key_id));
  }
  extract_plan plan = plan_extract(options, dirs, index, package);
  check_same_outputs(plan, journal, path);
  const bool verifying = !options.key_path.empty();
  verified_package verified;
  std::vector<resumed_member> members = find_members(plan, cut, journal, package, index);
  if (verifying) {
    // The hash kept before the trailer needs the trailer alone: the members
    // are then each proven by the MD5 of that authenticated trailer, and
    // one lost or damaged is named like without a key. A journal without
    // it: the package as it was, put together again.
    verified = journal.hash_state.empty()
                   ? verify_bytes(
                         options, package,
                         [&](const hash_sink& sink) {
                           feed_original(package, members, cut.data_length, journal, sink);
                         },
                         journal.original_length)
                   : verify_bytes(
                         options, package,
                         [&](const hash_sink& sink) {
                           sink(journal.trailer.data(), journal.trailer.size());
                         },
                         static_cast<std::int64_t>(journal.trailer.size()), -1, journal.hash_state);
    check_verified(options, verified);
    // Whatever key signed what was put together, the run was started
    // under the journal's key, and only a key given now vouches for it.
    if (!journal.key_id.empty() && !key_given(options, journal.key_id))
      throw kb_error(msg::give_the_key(path, journal.key_id));
  }

  if (preview != nullptr) {
    preview->index = std::move(index);
    preview->plan = std::move(plan);
    return verified;
  }
  say(msg::resuming(path));
  mover run(package, index, in_place_part::resumed(package, index, std::move(journal), cut.length));
  finish_members(run, plan, members);
  // Those that a power cut damaged are named already; the rest are out.
  if (run.lost() > 0) throw kb_error(msg::not_recovered(run.lost(), path));
  return verified;
}

}  // namespace kb
