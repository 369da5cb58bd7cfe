#include "base/progress.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "base/console.h"
#include "base/signals.h"

namespace kb {
namespace {

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

bool json_lines = false;
const char* current_phase = "";
std::atomic<std::int64_t> next_json_line{0};  // shared: one stream, however many members
std::mutex json_write;

// One whole line in as few write(2)s as it takes, so that a line never
// mixes with another writer's; a reader that is gone stops nothing.
void write_line(const nlohmann::ordered_json& object) {
  const std::string line =
      object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::lock_guard<std::mutex> lock(json_write);
  for (std::size_t at = 0; at < line.size();) {
    const ssize_t n = write(STDERR_FILENO, line.data() + at, line.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

}  // namespace

void enable_json_progress() {
  json_lines = true;
}

void json_progress_end(int status, std::string_view message) {
  if (!json_lines) return;
  nlohmann::ordered_json line = {{"event", "end"}, {"status", status}};
  if (!message.empty()) line["message"] = std::string(message);
  write_line(line);
}

progress_phase::progress_phase(const char* phase) : saved_(current_phase) {
  current_phase = phase;
}
progress_phase::~progress_phase() {
  current_phase = saved_;
}

progress::progress(std::string_view name, std::int64_t size, bool json_only)
    : shown_(!json_lines && !json_only && stderr_is_terminal() && size > 0),
      name_(json_lines ? std::string(name) : shown(name)),
      size_(size),
      json_(json_lines),
      phase_(current_phase),
      exceptions_(std::uncaught_exceptions()) {
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
  // A member that failed is not done: the end line says how the run ended.
  if (json_ && std::uncaught_exceptions() == exceptions_) tell(done_, true);
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
  if (shown_ || json_) update(done_ += bytes);
}

void progress::set(std::int64_t done) {
  if (shown_ || json_) update(done_ = done);
}

void progress::update(std::int64_t done) {
  if (json_) {
    const std::int64_t now = now_ms();
    std::int64_t due = next_json_line.load();
    if (now >= due && next_json_line.compare_exchange_strong(due, now + 100)) tell(done, false);
    return;
  }
  const std::int64_t now = now_ms();
  std::int64_t due = next_draw_.load();
  if (now < due || !next_draw_.compare_exchange_strong(due, now + 100)) return;
  draw(done);
}

void progress::tell(std::int64_t done, bool member_done) {
  std::int64_t rate = 0;
  {
    std::lock_guard<std::mutex> lock(draw_);
    const std::int64_t now = now_ms();
    // As on the person's line, bytes done before the first line (a resumed
    // member) do not count as fast.
    if (json_first_ms_ < 0) json_first_ms_ = now, json_first_done_ = done;
    if (now > json_first_ms_) rate = (done - json_first_done_) * 1000 / (now - json_first_ms_);
  }
  nlohmann::ordered_json line = {{"event", member_done ? "done" : "progress"},
                                 {"phase", phase_},
                                 {"member", name_},
                                 {"done", done}};
  line["size"] = size_ < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(size_);
  line["rate"] = rate;
  write_line(line);
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
