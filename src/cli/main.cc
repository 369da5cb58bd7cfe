#include <cstdio>
#include <exception>
#include <new>

#include "base/console.h"
#include "base/messages.h"
#include "base/signals.h"
#include "cli/cli.h"
#include "pac/digest.h"

int main(int argc, char** argv) {
  using namespace kb;
  if (argc <= 1) {
    std::puts(msg::USAGE);
    return 0;
  }
  install_stop_handlers();
  try {
    if (!md5_self_test()) throw kb_error(msg::md5_not_right());
    command_line cmd = parse_options(argc, argv);
    if (!cmd.answer.empty()) {
      std::fputs(cmd.answer.c_str(), stdout);
    } else {
      dispatch(cmd);
    }
  } catch (const kb_error& e) {
    std::fputs(e.what(), message_stream());  // the exact console text, its line ends included
    std::fflush(message_stream());
    end_if_stopped();
    return 255;
  } catch (const std::bad_alloc&) {
    std::fputs(msg::out_of_memory().c_str(), message_stream());
    std::fflush(message_stream());
    return 255;
  } catch (const std::exception& e) {
    std::fputs(msg::unexpected_failure(e.what()).c_str(), message_stream());
    std::fflush(message_stream());
    return 255;
  }
  std::fflush(stdout);
  end_if_stopped();  // a stop that came when the work was as good as done
  // A listing cut short by a full pipe or disk must not pass for success.
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 255;
}
