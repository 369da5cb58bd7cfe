// The stop signals, while an operation has work on disk that a plain exit
// would leave broken: the handler only sets a flag, which the operation
// checks between pieces and answers by putting things right before it exits.
#include <signal.h>

#include <iterator>

#include "base/signals.h"

namespace kb {
namespace {

volatile sig_atomic_t interrupted = 0;

extern "C" void note_interrupt(int) {
  interrupted = 1;
}

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : STOP_SIGNALS) sigaddset(&set, s);
  return set;
}

}  // namespace

struct interrupt_guard::saved_actions {
  struct sigaction actions[std::size(STOP_SIGNALS)];
};

interrupt_guard::interrupt_guard(bool active) {
  if (!active) return;
  interrupted = 0;
  saved_ = std::make_unique<saved_actions>();
  struct sigaction sa {};
  sa.sa_handler = note_interrupt;
  // No restart: a call blocked when a stop comes returns, so that the run
  // stops and puts things right instead of waiting for ever.
  sa.sa_flags = 0;
  sigemptyset(&sa.sa_mask);
  for (std::size_t i = 0; i < std::size(STOP_SIGNALS); ++i) {
    sigaction(STOP_SIGNALS[i], &sa, &saved_->actions[i]);
  }
}

interrupt_guard::~interrupt_guard() {
  if (!saved_) return;
  for (std::size_t i = 0; i < std::size(STOP_SIGNALS); ++i) {
    sigaction(STOP_SIGNALS[i], &saved_->actions[i], nullptr);
  }
}

bool interrupt_requested() {
  return interrupted != 0;
}

signal_block::signal_block() : saved_(std::make_unique<sigset_t>()) {
  sigset_t set = stop_signals();
  sigprocmask(SIG_BLOCK, &set, saved_.get());
}

signal_block::~signal_block() {
  sigprocmask(SIG_SETMASK, saved_.get(), nullptr);
}

}  // namespace kb
