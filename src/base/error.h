// The one failure type: it carries the exact console text of a failure,
// line ends included. Thrown where the fault is found and printed once by
// main, which exits with 255.
#pragma once

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kb {

struct kb_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

namespace msg {  // base/messages.h
std::string out_of_memory();
std::string unexpected_failure(std::string_view what);
}  // namespace msg

// Runs work and returns nothing, or, when it throws, the failure's exact
// console text: a kb_error's own, or the message for running out of memory
// or for any other exception. Both main and an extract's put-back take a
// failure so, whatever threw it.
template <typename Work>
std::optional<std::string> failure_of(Work&& work) {
  try {
    work();
  } catch (const kb_error& e) {
    return std::string(e.what());
  } catch (const std::bad_alloc&) {
    return msg::out_of_memory();
  } catch (const std::exception& e) {
    return msg::unexpected_failure(e.what());
  }
  return std::nullopt;
}

}  // namespace kb
