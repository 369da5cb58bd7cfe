// The texts of the stdout contract (see messages.h): changing one breaks
// the device scripts that parse it.
#include "base/messages.h"

#include <string>

namespace kb {

kb_error too_long(std::string_view label, std::size_t max, std::string_view value) {
  return kb_error("\r\n " + std::string(label) + " too long (at most " + std::to_string(max) +
                  " bytes): " + std::string(value) + " \r\n");
}

}  // namespace kb
