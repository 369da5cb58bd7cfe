// The stop signals: one handler for the whole run. While an operation
// defers them it only sets a flag, which the operation checks between
// pieces and answers by putting things right; otherwise it removes the
// temporary files registered and lets the signal end the process.
#include "base/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>

namespace kb {
namespace {

volatile sig_atomic_t interrupted = 0;  // the signal, or 0
volatile sig_atomic_t deferring = 0;

struct temporary {
  volatile sig_atomic_t used;
  int dir_fd;
  char name[256];
};
temporary temporaries[8];

extern "C" void on_stop(int signal) {
  if (deferring) {
    interrupted = signal;
    return;
  }
  for (const temporary& t : temporaries) {
    if (t.used) unlinkat(t.dir_fd, t.name, 0);
  }
  // Pending until this handler returns, then the default action.
  ::signal(signal, SIG_DFL);
  raise(signal);
}

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : STOP_SIGNALS) sigaddset(&set, s);
  return set;
}

}  // namespace

void install_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  // No restart: a call blocked when a stop comes returns, so that the run
  // stops and puts things right instead of waiting for ever.
  sa.sa_flags = 0;
  sigemptyset(&sa.sa_mask);
  for (int s : STOP_SIGNALS) {
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(s, &sa, nullptr);
  }
}

interrupt_guard::interrupt_guard(bool active) : active_(active) {
  if (!active_) return;
  was_deferring_ = deferring != 0;
  deferring = 1;
}

interrupt_guard::~interrupt_guard() {
  if (active_ && !was_deferring_) deferring = 0;
}

bool interrupt_requested() {
  return interrupted != 0;
}

void end_if_stopped() {
  const int s = interrupted;
  if (s == 0) return;
  signal(s, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, s);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(s);
}

removed_on_stop::removed_on_stop(int dir_fd, const std::string& name) {
  if (name.size() >= sizeof temporaries[0].name) return;
  for (int i = 0; i < static_cast<int>(std::size(temporaries)); ++i) {
    temporary& t = temporaries[i];
    if (t.used) continue;
    t.dir_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (t.dir_fd < 0) return;
    std::memcpy(t.name, name.c_str(), name.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t.used = 1;  // last: the handler reads a whole entry or none
    slot_ = i;
    return;
  }
}

removed_on_stop::~removed_on_stop() {
  release();
}

removed_on_stop& removed_on_stop::operator=(removed_on_stop&& o) noexcept {
  if (this != &o) {
    release();
    slot_ = o.slot_;
    o.slot_ = -1;
  }
  return *this;
}

void removed_on_stop::release() {
  if (slot_ < 0) return;
  temporary& t = temporaries[slot_];
  t.used = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  close(t.dir_fd);
  slot_ = -1;
}

signal_block::signal_block() : saved_(std::make_unique<sigset_t>()) {
  sigset_t set = stop_signals();
  sigprocmask(SIG_BLOCK, &set, saved_.get());
}

signal_block::~signal_block() {
  sigprocmask(SIG_SETMASK, saved_.get(), nullptr);
}

}  // namespace kb
