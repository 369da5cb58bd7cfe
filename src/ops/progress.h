// Progress of one long piece of work on stderr, and only when stderr is a
// terminal: one line rewritten in place, at most about ten times a second,
// with the rate and the time left, cut to the terminal's width so that it
// never wraps, and cleared when the work is done, however that ends.
// stdout, which scripts parse, never sees it.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kb {

class progress {
 public:
  // While the line is shown, a stop signal that would kill the process at
  // once (no handler of the operation's own) clears the line first.
  progress(std::string_view name, std::int64_t size);
  ~progress();  // clears the line
  progress(const progress&) = delete;
  progress& operator=(const progress&) = delete;

  // Counts bytes done, or sets how many are; safe from several threads.
  void advance(std::int64_t bytes);
  void set(std::int64_t done);
  // Takes the line away, for a result line to come.
  void clear();

 private:
  void update(std::int64_t done);
  void draw(std::int64_t done);

  const bool shown_;
  std::string name_;
  std::int64_t size_;
  std::atomic<std::int64_t> done_{0};
  std::atomic<std::int64_t> next_draw_{0};  // monotonic milliseconds
  std::mutex draw_;
  std::int64_t first_ms_ = -1, first_done_ = 0;  // the rate counts from the first draw
  struct sigaction saved_[3] = {};
  bool hooked_[3] = {};
};

}  // namespace kb
