// Names of the tool's own: the temporary names of outputs and journals,
// made random so that nobody can lay a file in their way beforehand.
#include "ops/names.h"

#include <algorithm>
#include <cctype>

namespace kb {
namespace {

constexpr std::size_t NAME_PART = 200;  // of the member's name, within NAME_MAX

}  // namespace

std::string temp_name_for(std::string_view name) {
  return "." + std::string(name.substr(0, NAME_PART)) + ".kb" + random_text(OWN_NAME_RANDOM);
}

bool is_own_name(std::string_view text, std::string_view stem) {
  return text.size() == stem.size() + OWN_NAME_RANDOM && text.substr(0, stem.size()) == stem &&
         std::all_of(text.end() - OWN_NAME_RANDOM, text.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

bool is_temp_name_for(std::string_view text, std::string_view name) {
  return is_own_name(text, "." + std::string(name.substr(0, NAME_PART)) + ".kb");
}

}  // namespace kb
