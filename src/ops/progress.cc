#include "ops/progress.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "base/console.h"

namespace kb {
namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr char CLEAR_LINE[] = "\r\033[K";

std::int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return std::int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool stderr_is_terminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}

// Only write(2) and raise(3) here: both are async-signal-safe. The action
// was reset to the default on entry (SA_RESETHAND), so the signal raised
// again, once the handler returns, ends the process as it would have.
extern "C" void clear_and_reraise(int sig) {
  if (write(STDERR_FILENO, CLEAR_LINE, sizeof CLEAR_LINE - 1) < 0) {
    // nothing more can be done about a terminal that is gone
  }
  raise(sig);
}

std::size_t terminal_width() {
  winsize ws{};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

// text cut to at most width bytes, never inside a UTF-8 character.
std::string cut(std::string text, std::size_t width) {
  if (text.size() <= width) return text;
  std::size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

progress::progress(std::string_view name, std::int64_t size)
    : shown_(stderr_is_terminal() && size > 0), name_(shown(name)), size_(size) {
  if (!shown_) return;
  for (std::size_t i = 0; i < std::size(STOP_SIGNALS); ++i) {
    if (sigaction(STOP_SIGNALS[i], nullptr, &saved_[i]) != 0 || saved_[i].sa_handler != SIG_DFL)
      continue;  // an operation that handles the signal clears the line itself
    struct sigaction sa {};
    sa.sa_handler = clear_and_reraise;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    hooked_[i] = sigaction(STOP_SIGNALS[i], &sa, nullptr) == 0;
  }
}

progress::~progress() {
  clear();
  for (std::size_t i = 0; i < std::size(STOP_SIGNALS); ++i) {
    if (hooked_[i]) sigaction(STOP_SIGNALS[i], &saved_[i], nullptr);
  }
}

void progress::clear() {
  if (!shown_) return;
  std::lock_guard<std::mutex> lock(draw_);
  std::fputs(CLEAR_LINE, stderr);  // the line is left clean for the result
  std::fflush(stderr);
}

void progress::advance(std::int64_t bytes) {
  if (shown_) update(done_ += bytes);
}

void progress::set(std::int64_t done) {
  if (shown_) update(done_ = done);
}

void progress::update(std::int64_t done) {
  const std::int64_t now = now_ms();
  std::int64_t due = next_draw_.load();
  if (now < due || !next_draw_.compare_exchange_strong(due, now + 100)) return;
  draw(done);
}

void progress::draw(std::int64_t done) {
  std::lock_guard<std::mutex> lock(draw_);
  const std::int64_t now = now_ms();
  if (first_ms_ < 0) first_ms_ = now, first_done_ = done;
  char stats[128];
  int n = std::snprintf(stats, sizeof stats, " %.1f of %.1f MB %3d%%", done / 1e6, size_ / 1e6,
                        static_cast<int>(done * 100 / size_));
  // The rate from the first draw on, so that bytes done before it (a
  // resumed member) do not count as fast; shown once there is a rate.
  const std::int64_t ms = now - first_ms_, moved = done - first_done_;
  if (ms >= 500 && moved > 0 && n > 0) {
    const double rate = moved * 1000.0 / ms;
    const auto left = static_cast<long long>((size_ - done) / rate);
    std::snprintf(stats + n, sizeof stats - n, " %.1f MB/s %lld:%02lld left", rate / 1e6, left / 60,
                  left % 60);
  }
  // Short of the width: a line that fills it wraps on some terminals, and so
  // would the terminal's echo of ^C, leaving a stray line that the clearing
  // misses. The name gives way first.
  const std::size_t cols = terminal_width(), width = cols > 3 ? cols - 3 : 1;
  const std::string tail = stats;
  const std::string line =
      tail.size() < width ? cut(name_, width - tail.size()) + tail : cut(tail.substr(1), width);
  std::fputs(CLEAR_LINE, stderr);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace kb
