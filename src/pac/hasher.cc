// The digest of a member that is being written out, computed on a second
// core from the same buffer while the main thread writes that buffer, so
// that extract and read cost the slower of MD5 and the disk, not both.
#include <md5.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "pac/hasher.h"

namespace kb {

struct piece_hasher::state {
  MD5_CTX ctx;
  std::mutex mu;
  std::condition_variable cv;
  const unsigned char* data = nullptr;  // the piece being hashed, if any
  std::size_t length = 0;
  bool stop = false;
  std::thread worker;

  void run() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      cv.wait(lock, [&] { return stop || data != nullptr; });
      if (data == nullptr) return;
      lock.unlock();
      MD5Update(&ctx, data, length);
      lock.lock();
      data = nullptr;
      cv.notify_all();
    }
  }
};

piece_hasher::piece_hasher() : s_(std::make_unique<state>()) {
  MD5Init(&s_->ctx);
  try {
    s_->worker = std::thread([s = s_.get()] { s->run(); });
  } catch (const std::system_error&) {
    // No second thread: begin() hashes in the caller's thread.
  }
}

piece_hasher::~piece_hasher() {
  if (!s_->worker.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->stop = true;
  }
  s_->cv.notify_all();
  s_->worker.join();
}

void piece_hasher::reset() {
  wait();
  MD5Init(&s_->ctx);
}

void piece_hasher::begin(const unsigned char* data, std::size_t length) {
  if (!s_->worker.joinable()) {
    MD5Update(&s_->ctx, data, length);
    return;
  }
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->data = data;
  s_->length = length;
  s_->cv.notify_all();
}

void piece_hasher::wait() {
  std::unique_lock<std::mutex> lock(s_->mu);
  s_->cv.wait(lock, [&] { return s_->data == nullptr; });
}

void piece_hasher::digest_hex(char* out) {
  wait();
  MD5End(&s_->ctx, out);
  MD5Init(&s_->ctx);
}

}  // namespace kb
