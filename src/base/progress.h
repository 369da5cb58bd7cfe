// Progress of one long piece of work on stderr, and only when stderr is a
// terminal: one line rewritten in place, at most about ten times a second,
// with the rate and the time left, cut to the terminal's width so that it
// never wraps, and cleared when the work is done, however that ends.
// stdout, which scripts parse, never sees it.
//
// With --progress json the same work is told to a program instead, on
// stderr whether or not it is a terminal: one JSON object a line, as the
// bytes move (at most about ten a second), once more when a member is
// done, and a last line with the exit status. The person's line is then
// not drawn, so that no control bytes fall between the objects.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>

namespace kb {

// From now on, progress is told as JSON lines (--progress json).
void enable_json_progress();
// The last JSON line: the run's exit status and, on failure, its message
// as one line. Nothing without --progress json.
void json_progress_end(int status, std::string_view message = {});

// The phase the JSON lines of progress made while it lives name ("make",
// "extract", "read", "check", "verify"); the one before comes back after.
class progress_phase {
 public:
  explicit progress_phase(const char* phase);
  ~progress_phase();
  progress_phase(const progress_phase&) = delete;
  progress_phase& operator=(const progress_phase&) = delete;

 private:
  const char* saved_;
};

class progress {
 public:
  // While the line is shown, a stop signal that would kill the process at
  // once (no handler of the operation's own) clears the line first.
  // A size below 0 is not known. Only JSON lines for json_only work, which
  // the person's line has never shown (the -k hash pass).
  progress(std::string_view name, std::int64_t size, bool json_only = false);
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
  void tell(std::int64_t done, bool member_done);

  const bool shown_;
  std::string name_;
  std::int64_t size_;
  const bool json_;
  const char* phase_;
  const int exceptions_;  // in flight when made: more at the end means it failed
  std::atomic<std::int64_t> done_{0};
  std::atomic<std::int64_t> next_draw_{0};  // monotonic milliseconds
  std::mutex draw_;
  std::int64_t first_ms_ = -1, first_done_ = 0;  // the rate counts from the first draw
  std::int64_t json_first_ms_ = -1, json_first_done_ = 0;
  struct sigaction saved_[3] = {};
  bool hooked_[3] = {};
};

}  // namespace kb
