#include "ops/progress.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace kb {
namespace {

std::int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return std::int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool stderr_is_terminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}

}  // namespace

progress::progress(std::string_view name, std::int64_t size)
    : shown_(stderr_is_terminal() && size > 0), name_(name), size_(size) {}

progress::~progress() {
  clear();
}

void progress::clear() {
  if (!shown_) return;
  std::lock_guard<std::mutex> lock(draw_);
  std::fputs("\r\033[K", stderr);  // the line is left clean for the result
  std::fflush(stderr);
}

void progress::advance(std::int64_t bytes) {
  if (!shown_) return;
  const std::int64_t done = done_ += bytes;
  const std::int64_t now = now_ms();
  std::int64_t due = next_draw_.load();
  if (now < due || !next_draw_.compare_exchange_strong(due, now + 100)) return;
  draw(done);
}

void progress::draw(std::int64_t done) {
  std::lock_guard<std::mutex> lock(draw_);
  std::fprintf(stderr, "\r\033[K%s %lld of %lld bytes %3d%%", name_.c_str(),
               static_cast<long long>(done), static_cast<long long>(size_),
               static_cast<int>(done * 100 / size_));
  std::fflush(stderr);
}

}  // namespace kb
