// The stop signals (SIGINT, SIGTERM, SIGHUP) while an operation has work on
// disk that a plain exit would leave broken.
#pragma once

#include <signal.h>

#include <memory>

namespace kb {

// While active, the stop signals only set a flag that interrupt_requested()
// reports; the previous actions come back with the guard's end. An inactive
// guard changes nothing.
class interrupt_guard {
 public:
  explicit interrupt_guard(bool active);
  ~interrupt_guard();
  interrupt_guard(const interrupt_guard&) = delete;
  interrupt_guard& operator=(const interrupt_guard&) = delete;

 private:
  struct saved_actions;
  std::unique_ptr<saved_actions> saved_;
};

bool interrupt_requested();

// Holds the stop signals back for its lifetime, while a package is being
// put right.
class signal_block {
 public:
  signal_block();
  ~signal_block();
  signal_block(const signal_block&) = delete;
  signal_block& operator=(const signal_block&) = delete;

 private:
  std::unique_ptr<sigset_t> saved_;
};

}  // namespace kb
