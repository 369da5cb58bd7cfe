// The one failure type: it carries the exact console text of a failure,
// line ends included. Thrown where the fault is found and printed once by
// main, which exits with 255.
#pragma once

#include <stdexcept>

namespace kb {

struct kb_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace kb
