// The stop signals (SIGINT, SIGTERM, SIGHUP): an operation with work on
// disk that a plain exit would leave broken defers them and puts things
// right first; every other one removes its temporary files. Either way the
// run then ends by the signal, so that a calling shell sees the interrupt.
#pragma once

#include <signal.h>

#include <memory>
#include <string>

namespace kb {

inline constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Installs the stop handlers, once, from main; a stop signal ignored when
// the tool started (nohup, a background job) stays ignored.
void install_stop_handlers();

// While active, the stop signals only set a flag that interrupt_requested()
// reports; inactive, it changes nothing.
class interrupt_guard {
 public:
  explicit interrupt_guard(bool active);
  ~interrupt_guard();
  interrupt_guard(const interrupt_guard&) = delete;
  interrupt_guard& operator=(const interrupt_guard&) = delete;

 private:
  bool active_, was_deferring_ = false;
};

bool interrupt_requested();

// Once the run's clean-up and its stdout line are done: when a stop
// signal asked for it, ends the process by that signal's default action.
void end_if_stopped();

// A temporary file removed, through its directory's descriptor (a copy of
// its own), when a stop signal that nothing defers ends the run.
class removed_on_stop {
 public:
  removed_on_stop() = default;
  removed_on_stop(int dir_fd, const std::string& name);
  ~removed_on_stop();
  removed_on_stop(removed_on_stop&& o) noexcept : slot_(o.slot_) { o.slot_ = -1; }
  removed_on_stop& operator=(removed_on_stop&& o) noexcept;
  removed_on_stop(const removed_on_stop&) = delete;
  removed_on_stop& operator=(const removed_on_stop&) = delete;
  void release();  // the file is renamed or removed: nothing to do on a stop

 private:
  int slot_ = -1;
};

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
