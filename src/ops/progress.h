// Progress of one long piece of work on stderr, and only when stderr is a
// terminal: one line rewritten in place, at most about ten times a second,
// cleared when the work is done. stdout, which scripts parse, never sees it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kb {

class progress {
 public:
  progress(std::string_view name, std::int64_t size);
  ~progress();  // clears the line
  progress(const progress&) = delete;
  progress& operator=(const progress&) = delete;

  // Counts bytes done; safe from several threads.
  void advance(std::int64_t bytes);
  // Takes the line away, for a result line to come.
  void clear();

 private:
  void draw(std::int64_t done);

  const bool shown_;
  std::string name_;
  std::int64_t size_;
  std::atomic<std::int64_t> done_{0};
  std::atomic<std::int64_t> next_draw_{0};  // monotonic milliseconds
  std::mutex draw_;
};

}  // namespace kb
