// Verifying a package against the minisign signature beside it, before
// anything is written, created or cut. Signing stays with minisign on the
// build host; the device only verifies, with libsodium: BLAKE2b-512 of the
// whole package streamed through the chunk buffer, Ed25519 over that
// digest, and Ed25519 over the signature and its trusted comment.
#include "trust/signature.h"

#include <fcntl.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "base/console.h"
#include "base/io.h"
#include "base/messages.h"
#include "base/progress.h"
#include "ops/selection.h"
#include "pac/codec.h"
#include "trust/trusted_comment.h"

namespace kb {
namespace {

constexpr std::size_t MAX_LINE = 2048;
constexpr std::size_t MAX_FILE = 8192;

// The next line of text (without its "\n" or "\r\n"), or nothing when the
// text has no more lines or the line is too long.
std::optional<std::string_view> next_line(std::string_view& text) {
  if (text.empty()) return std::nullopt;
  auto end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > MAX_LINE) return std::nullopt;
  return line;
}

// Decodes base64 into exactly out.size() bytes.
template <std::size_t N>
bool decode_exact(std::string_view b64, unsigned char* out) {
  std::size_t length = 0;
  return sodium_base642bin(out, N, b64.data(), b64.size(), nullptr, &length, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         length == N;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

// Comments are printed, and they came from outside: no control bytes.
std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) c = '?';
  }
  return out;
}

std::optional<public_key> parse_public_key(std::string_view text) {
  auto comment = next_line(text);
  auto b64 = next_line(text);
  if (!comment || !starts_with(*comment, "untrusted comment: ") || !b64) return std::nullopt;
  std::array<unsigned char, 42> raw{};
  if (!decode_exact<42>(*b64, raw.data()) || raw[0] != 'E' || raw[1] != 'd') return std::nullopt;
  while (auto rest = next_line(text)) {
    if (!rest->empty()) return std::nullopt;
  }
  public_key k;
  std::copy(raw.begin() + 2, raw.begin() + 10, k.id.begin());
  std::copy(raw.begin() + 10, raw.end(), k.key.begin());
  return k;
}

std::optional<package_signature> parse_signature(std::string_view text) {
  auto comment = next_line(text);
  auto b64 = next_line(text);
  auto trusted = next_line(text);
  auto global = next_line(text);
  if (!comment || !starts_with(*comment, "untrusted comment: ") || !b64 || !trusted ||
      !starts_with(*trusted, "trusted comment: ") || !global) {
    return std::nullopt;
  }
  std::array<unsigned char, 74> raw{};
  package_signature s;
  if (!decode_exact<74>(*b64, raw.data()) ||
      !decode_exact<64>(*global, s.global_signature.data())) {
    return std::nullopt;
  }
  while (auto rest = next_line(text)) {
    if (!rest->empty()) return std::nullopt;
  }
  std::copy(raw.begin(), raw.begin() + 2, s.algorithm.begin());
  std::copy(raw.begin() + 2, raw.begin() + 10, s.key_id.begin());
  std::copy(raw.begin() + 10, raw.end(), s.signature.begin());
  s.trusted_comment = std::string(trusted->substr(17));
  return s;
}

std::string key_id_text(const std::array<unsigned char, 8>& id) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 7; i >= 0; --i) {  // minisign shows the id as a little-endian number
    out += HEX[id[i] >> 4];
    out += HEX[id[i] & 0xf];
  }
  return out;
}

namespace {

// libsodium 1.0.18's BLAKE2b state, which its header keeps opaque: the
// chaining value, the byte counter, the final flags, up to two blocks
// buffered and their count. Checked on a live state before it is relied on.
constexpr std::size_t H_AT = 0, T_AT = 64, F_AT = 80, BUF_AT = 96, BUFLEN_AT = 352;
constexpr std::size_t KEPT = F_AT, BUF_MAX = 256;

std::size_t buffered(const crypto_generichash_state& s) {
  std::size_t n;
  std::memcpy(&n, reinterpret_cast<const unsigned char*>(&s) + BUFLEN_AT, sizeof n);
  return n;
}

bool layout_known() {
  static const bool known = [] {
    crypto_generichash_state s;
    crypto_generichash_init(&s, nullptr, 0, crypto_generichash_BYTES_MAX);
    const std::vector<unsigned char> bytes(300, 0xab);
    crypto_generichash_update(&s, bytes.data(), 200);
    const auto* raw = reinterpret_cast<const unsigned char*>(&s);
    bool ok = buffered(s) == 200 && raw[BUF_AT + 199] == 0xab && raw[BUF_AT + 200] == 0;
    crypto_generichash_update(&s, bytes.data(), 100);  // one block hashed, 172 bytes kept
    ok = ok && buffered(s) == 172 && raw[T_AT] == 128 && raw[T_AT + 1] == 0 && raw[F_AT] == 0;
    return ok;
  }();
  return known;
}

std::string save_state(const crypto_generichash_state& s) {
  if (!layout_known()) return {};
  const auto* raw = reinterpret_cast<const unsigned char*>(&s);
  std::string out(raw + H_AT, raw + KEPT);
  return out.append(raw + BUF_AT, raw + BUF_AT + buffered(s));
}

bool load_state(crypto_generichash_state& s, const std::string& kept) {
  if (!layout_known() || kept.size() < KEPT || kept.size() > KEPT + BUF_MAX) return false;
  auto* raw = reinterpret_cast<unsigned char*>(&s);
  std::memcpy(raw + H_AT, kept.data(), KEPT);
  std::memcpy(raw + BUF_AT, kept.data() + KEPT, kept.size() - KEPT);
  const std::size_t n = kept.size() - KEPT;
  std::memcpy(raw + BUFLEN_AT, &n, sizeof n);
  return true;
}

public_key load_key(const std::string& key_path) {
  auto text = read_bounded(key_path, MAX_FILE, true);  // the key is the caller's own choice
  auto key = text ? parse_public_key(*text) : std::nullopt;
  if (!key) throw kb_error(msg::not_a_public_key(key_path));
  return *key;
}

// Every key given, each loaded (a key that is not one stops the run, as
// with a single -k, whichever key signed the package).
std::vector<public_key> load_keys(const pac_options& options) {
  std::vector<public_key> keys;
  for (const std::string& path : options.key_paths) keys.push_back(load_key(path));
  if (keys.empty() && !options.key_path.empty()) keys.push_back(load_key(options.key_path));
  return keys;
}

}  // namespace

bool key_given(const pac_options& options, const std::string& key_id) {
  for (const public_key& key : load_keys(options)) {
    if (key_id_text(key.id) == key_id) return true;
  }
  return false;
}

std::string signature_path(const pac_options& options, const std::string& package_path) {
  return options.sig_path.empty() ? package_path + ".minisig" : options.sig_path;
}

verified_package verify_bytes(const pac_options& options, const package_file& package,
                              const byte_feed& feed, std::int64_t size, std::int64_t mark,
                              const std::string& start) {
  if (sodium_init() < 0) throw kb_error(msg::no_signature_library());
  const std::vector<public_key> keys = load_keys(options);
  const std::string& package_path = package.path();
  const std::string sig_path = signature_path(options, package_path);
  // Beside the package, the signature is read through the package's
  // directory, opened once; --sig names a file the command line trusts.
  auto text =
      options.sig_path.empty()
          ? read_bounded_at(package.dir().fd(), package.name() + ".minisig", sig_path, MAX_FILE)
          : read_bounded(sig_path, MAX_FILE);
  if (!text) throw kb_error(msg::signature_unreadable(sig_path));
  auto sig = parse_signature(*text);
  if (!sig) throw kb_error(msg::not_a_signature(sig_path));
  if (sig->algorithm[0] == 'E' && sig->algorithm[1] == 'd') {
    throw kb_error(msg::legacy_signature(sig_path));
  }
  if (sig->algorithm[0] != 'E' || sig->algorithm[1] != 'D') {
    throw kb_error(msg::not_a_signature(sig_path));
  }
  // The signature names its key; the others given play no part.
  auto key_at = std::find_if(keys.begin(), keys.end(),
                             [&](const public_key& k) { return k.id == sig->key_id; });
  if (key_at == keys.end()) {
    std::string ids;
    for (const public_key& k : keys) ids += (ids.empty() ? "" : ", ") + key_id_text(k.id);
    throw kb_error(keys.size() == 1
                       ? msg::signed_by_other_key(package_path, key_id_text(sig->key_id), ids)
                       : msg::signed_by_none_of_keys(package_path, key_id_text(sig->key_id), ids));
  }
  const public_key& key = *key_at;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  if (!start.empty() && !load_state(state, start)) {
    throw kb_error(msg::signature_not_right(package_path));
  }
  std::string kept;
  {
    // The hash pass reads the whole package before anything else happens:
    // minutes on a slow flash, which a program driving the tool can show.
    progress_phase phase("verify");
    progress bar(package_path, size, true);
    std::int64_t hashed = 0;
    feed([&](const unsigned char* data, std::size_t length) {
      bar.advance(static_cast<std::int64_t>(length));
      hashed += static_cast<std::int64_t>(length);
      const std::int64_t before = mark - (hashed - static_cast<std::int64_t>(length));
      if (before >= 0 && before <= static_cast<std::int64_t>(length)) {
        crypto_generichash_update(&state, data, static_cast<std::size_t>(before));
        kept = save_state(state);
        data += before, length -= static_cast<std::size_t>(before);
      }
      crypto_generichash_update(&state, data, length);
    });
  }
  unsigned char digest[crypto_generichash_BYTES_MAX];
  crypto_generichash_final(&state, digest, sizeof digest);
  if (crypto_sign_verify_detached(sig->signature.data(), digest, sizeof digest, key.key.data()) !=
      0) {
    throw kb_error(msg::signature_not_right(package_path));
  }
  std::vector<unsigned char> signed_comment(sig->signature.begin(), sig->signature.end());
  signed_comment.insert(signed_comment.end(), sig->trusted_comment.begin(),
                        sig->trusted_comment.end());
  if (crypto_sign_verify_detached(sig->global_signature.data(), signed_comment.data(),
                                  signed_comment.size(), key.key.data()) != 0) {
    throw kb_error(msg::trusted_comment_not_right(package_path));
  }
  say(msg::verified(package_path, key_id_text(key.id), printable(sig->trusted_comment)));
  return {key_id_text(key.id), sig->trusted_comment, kept};
}

verified_package verify_package(const pac_options& options, const package_file& package,
                                pac_index& index, trailer_bytes* kept) {
  const std::int64_t length = package.length();
  auto trailer = std::make_unique<trailer_bytes>();
  const std::int64_t trailer_at = length - static_cast<std::int64_t>(PAC_INDEX_SIZE);
  verified_package v = verify_bytes(
      options, package,
      [&](const hash_sink& sink) {
        // Read in slices that stay in the cache for the hash, as b2sum does;
        // the trailer is kept as it goes by, so that the index is read from the
        // very bytes that were verified.
        constexpr std::size_t SLICE = 32 * 1024;
        chunk_buffer buffer(SLICE);
        for (std::int64_t at = 0; at < length;) {
          const auto n = static_cast<std::size_t>(std::min<std::int64_t>(SLICE, length - at));
          if (!read_at(package.fd(), buffer.data(), n, at)) {
            say_reason(package.path(), errno);
            throw kb_error(msg::cannot_read(package.path()));
          }
          sink(buffer.data(), n);
          const std::int64_t from = std::max(at, trailer_at), end = at + std::int64_t(n);
          if (trailer_at >= 0 && from < end) {
            std::copy(buffer.data() + (from - at), buffer.data() + n,
                      trailer->data() + (from - trailer_at));
          }
          at += static_cast<std::int64_t>(n);
        }
      },
      length, trailer_at);
  // Grown or shrunk while it was hashed: what was verified is not all there is.
  if (package.length() != length) {
    throw kb_error(msg::changed_while_verified(package.path()));
  }
  if (length < static_cast<std::int64_t>(PAC_INDEX_SIZE)) {
    throw kb_error(msg::not_pac_file(package.path()));
  }
  crypt_decode(trailer->data(), trailer->size());
  index = read_index(*trailer, length);
  package.set_loaded_length(length);
  if (kept != nullptr) *kept = *trailer;
  return v;
}

void check_verified(const pac_options& options, const verified_package& v) {
  check_trusted_comment(options, options.package_path, v.trusted_comment);
}

verified_index load_package_verified(const pac_options& options, const package_file& package,
                                     trailer_bytes* trailer) {
  verified_index loaded;
  // Too short for a trailer (as a finished extract in place leaves it): no
  // package, signed or not, and no byte of it is used.
  if (options.key_path.empty() || package.length() < static_cast<std::int64_t>(PAC_INDEX_SIZE)) {
    loaded.index = load_package(package, trailer);
  } else {
    loaded.verified = verify_package(options, package, loaded.index, trailer);
    check_verified(options, loaded.verified);
  }
  check_printed_fields(loaded.index, options.package_path);
  return loaded;
}

}  // namespace kb
