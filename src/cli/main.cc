#include <cstdio>
#include <exception>
#include <new>

#include "base/console.h"
#include "base/io.h"
#include "base/messages.h"
#include "cli/cli.h"
#include "pac/digest.h"

int main(int argc, char** argv) {
  using namespace kb;
  // Started with a standard descriptor closed (a daemon's child), the
  // package or an output would take its number and a message its bytes.
  if (!open_standard_descriptors()) return 255;
  if (argc <= 1) {
    std::puts(msg::USAGE);
    return 0;
  }
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
  // A listing cut short by a full pipe or disk must not pass for success.
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 255;
}
