#include <cstdio>

#include "base/console.h"
#include "base/io.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/signals.h"
#include "cli/cli.h"
#include "pac/digest.h"

namespace kb {
namespace {

std::string failure_line;  // the failure as one line, for --progress json's last line

// The failure's console text, exactly as scripts parse it, and the same
// once more as one line on stderr, where a log or a terminal shows it when
// a script keeps stdout to itself (out=$(kestrelbind ...)).
int fail(const std::string& text) {
  std::fputs(text.c_str(), message_stream());
  std::fflush(message_stream());
  failure_line = one_line(text);
  if (message_stream() != stderr) note(failure_line);
  end_if_stopped();  // the stop's clean-up and line are done: the shell sees the signal
  return 255;
}

int run(int argc, char** argv) {
  const auto failure = failure_of([&] {
    if (!md5_self_test()) throw kb_error(msg::md5_not_right());
    command_line cmd = parse_options(argc, argv);
    if (!cmd.answer.empty()) {
      std::fputs(cmd.answer.c_str(), stdout);
    } else {
      dispatch(cmd);
    }
  });
  if (failure) return fail(*failure);
  std::fflush(stdout);
  end_if_stopped();  // a stop that came when the work was as good as done
  // A listing cut short by a full pipe or disk must not pass for success.
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 255;
}

}  // namespace
}  // namespace kb

int main(int argc, char** argv) {
  // Started with a standard descriptor closed (a daemon's child), the
  // package or an output would take its number and a message its bytes.
  if (!kb::open_standard_descriptors()) return 255;
  if (argc <= 1) {
    std::puts(kb::msg::USAGE);
    return 0;
  }
  kb::install_stop_handlers();
  const int status = kb::run(argc, argv);
  kb::json_progress_end(status, kb::failure_line);
  return status;
}
