// Check a package: every selected member's stored bytes are read and their
// MD5 compared with the record, writing nothing anywhere, so that a package
// can be trusted before the extract that destroys it, even on a full flash.
//
// Members are independent and MD5 is the cost, so they are hashed side by
// side, one thread per core, largest first; the lines come out in slot order
// as their digests are known.
#include <fcntl.h>
#include <md5.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "ops/pieces.h"
#include "ops/progress.h"

namespace kb {
namespace {

struct verdict {
  bool done = false;
  bool readable = true;
  int error = 0;  // why the bytes could not be read (0: past the end)
  char digest[MD5_TEXT_SIZE] = {};
};

// The MD5 of a member's bytes in their own order (its stored pieces from the
// last back to the first, each unscrambled); false when they cannot be read.
bool digest_member(int package, const pac_member& m, unsigned char* buffer, char* out,
                   progress& bar, int& error) {
  const std::int64_t offset = read_decimal(field(m.offset));
  MD5_CTX ctx;
  MD5Init(&ctx);
  for (std::int64_t remaining = read_decimal(field(m.size)); remaining > 0;) {
    const piece p = take_piece(offset, remaining);
    if (p.start < 0) return false;
    std::size_t got = 0;
    while (got < p.length) {
      ssize_t n = pread(package, buffer + got, p.length - got, p.start + std::int64_t(got));
      if (n <= 0) {
        error = n < 0 ? errno : 0;
        return false;
      }
      got += static_cast<std::size_t>(n);
    }
    crypt_decode(buffer, p.length);
    MD5Update(&ctx, buffer, p.length);
    bar.advance(static_cast<std::int64_t>(p.length));
  }
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  md5_digest_hex(digest, out);
  return true;
}

class check_pool {
 public:
  check_pool(int package, const pac_index& index, std::vector<int> slots, progress& bar)
      : package_(package),
        index_(index),
        slots_(std::move(slots)),
        bar_(bar),
        verdicts_(slots_.size()) {
    for (std::size_t k = 0; k < slots_.size(); ++k) order_.push_back(k);
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return size_of(a) > size_of(b); });
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    try {
      for (std::size_t t = 0; t < std::min<std::size_t>(cores, slots_.size()); ++t) {
        threads_.emplace_back([this] { work(); });
      }
    } catch (const std::system_error&) {
      // No thread to be had: result() hashes what nobody took.
    }
  }
  ~check_pool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      next_ = order_.size();
    }
    for (auto& t : threads_) t.join();
  }
  check_pool(const check_pool&) = delete;
  check_pool& operator=(const check_pool&) = delete;

  // The verdict of the k-th selected slot, once known.
  const verdict& result(std::size_t k) {
    std::unique_lock<std::mutex> lock(mu_);
    while (!verdicts_[k].done) {
      if (next_ < order_.size()) {
        take(lock);  // nobody is free to do it: do the next one here
      } else {
        done_.wait(lock);
      }
    }
    return verdicts_[k];
  }

 private:
  std::int64_t size_of(std::size_t k) const {
    return read_decimal(field(index_.members[slots_[k]].size));
  }

  void work() {
    std::unique_lock<std::mutex> lock(mu_);
    while (next_ < order_.size()) take(lock);
  }

  // Called and returns with the lock held; hashes without it.
  void take(std::unique_lock<std::mutex>& lock) {
    const std::size_t k = order_[next_++];
    lock.unlock();
    std::vector<unsigned char> buffer(PAC_CHUNK_SIZE);
    verdict v;
    v.readable =
        digest_member(package_, index_.members[slots_[k]], buffer.data(), v.digest, bar_, v.error);
    v.done = true;
    lock.lock();
    verdicts_[k] = v;
    done_.notify_all();
  }

  const int package_;
  const pac_index& index_;
  const std::vector<int> slots_;
  progress& bar_;
  std::vector<std::size_t> order_;  // indexes into slots_, largest member first
  std::vector<verdict> verdicts_;
  std::size_t next_ = 0;
  std::mutex mu_;
  std::condition_variable done_;
  std::vector<std::thread> threads_;
};

}  // namespace

void check_package(const pac_options& options, const pac_index& index) {
  std::vector<int> slots;
  const int n = member_count(index);
  for (int i = 0; i < n; ++i) {
    if (selected_by_filters(options, index.members[i])) slots.push_back(i);
  }
  if (slots.empty()) throw kb_error("\r\n File not exsit!\r\n");
  fd_closer package(open(options.package_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (package.get() < 0) {
    say_reason(options.package_path, errno);
    throw kb_error("\r\n can not extract from file:" + options.package_path + " \r\n");
  }
  std::int64_t total = 0;
  for (int i : slots)
    total += std::max<std::int64_t>(read_decimal(field(index.members[i].size)), 0);
  progress bar(options.package_path, total);
  int bad = 0;
  {
    check_pool pool(package.get(), index, slots, bar);
    for (std::size_t k = 0; k < slots.size(); ++k) {
      const pac_member& m = index.members[slots[k]];
      const verdict& v = pool.result(k);
      const bool good = v.readable && field(m.md5) == v.digest;
      std::string line = "\r\n check file ";
      line.append(field(m.name));
      if (good) {
        line.append(" size:").append(field(m.size)).append(" md5:").append(field(m.md5));
        line.append(",version:").append(field(m.version)).append(" good! \r\n");
      } else if (v.readable) {
        line.append(" checksum ").append(v.digest).append(" not right! \r\n");
      } else {
        line += " can not be read! \r\n";
      }
      bad += good ? 0 : 1;
      bar.clear();
      if (!v.readable) say_reason(options.package_path, v.error);
      say(line);
    }
  }
  if (bad > 0) {
    throw kb_error("\r\n package " + options.package_path + " has " + std::to_string(bad) +
                   " damaged members! \r\n");
  }
}

}  // namespace kb
