// Turns the argument vector into the options record, the member slots and
// the destination map. Unknown arguments are skipped (scripts pass some)
// with a word on stderr, the last of a repeated option wins (--expect and
// -k add up), and a value is taken as it stands even when it begins with a dash.
#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "base/messages.h"
#include "base/progress.h"
#include "cli/cli.h"
#include "trust/trusted_comment.h"

namespace kb {
namespace {

constexpr std::size_t MAX_PATH_VALUE = 1023;
constexpr std::size_t MAX_NAME_FILTER = 255;
constexpr std::size_t MAX_TYPE_FILTER = 127;
constexpr std::size_t MAX_DEST_VALUE = 1023;
constexpr int MAX_DEST_DIRS = 50;
constexpr std::size_t MAX_MEMBER_SPEC = 2047;

// The message printed when an option's value is missing.
// What the message names when an option's value is missing.
const char* missing_value_message(std::string_view opt) {
  if (opt == "-a") return "file added";
  if (opt == "-d") return "dest directory info";
  if (opt == "-f") return "file features";
  if (opt == "-m") return "dest file name";
  if (opt == "-t") return "extract file type";
  if (opt == "-n") return "read file name";
  if (opt == "-k") return "key file";
  if (opt == "-o") return "output file";
  if (opt == "--expect") return "expected token";
  if (opt == "--newer-than") return "timestamp";
  if (opt == "--progress") return "progress kind";
  if (opt == "--sig") return "signature file";
  if (opt == "--floor") return "floor file";
  if (opt == "-e" || opt == "-l" || opt == "-r" || opt == "-c") return "file name";
  return nullptr;  // not an option that takes a value
}

std::string bounded(const char* value, std::size_t max, std::string_view label) {
  std::string v = value;
  if (v.size() > max) throw too_long(label, max, v);
  return v;
}

void add_member(command_line& cmd, const char* value) {
  std::vector<std::string>& specs = cmd.options.member_specs;
  if (specs.size() >= PAC_MAX_MEMBERS) {
    throw kb_error(msg::too_many_files(PAC_MAX_MEMBERS));
  }
  specs.push_back(bounded(value, MAX_MEMBER_SPEC, "file added"));
}

// A token with a blank in it could never be found whole in the comment.
std::string one_token(const char* value) {
  std::string v = bounded(value, MAX_PATH_VALUE, "expected token");
  if (v.empty() || v.find_first_of(" \t\n\v\f\r") != std::string::npos)
    throw kb_error(msg::not_a_single_token(v));
  return v;
}

std::uint64_t timestamp_value(const char* value) {
  auto t = decimal_timestamp(value);
  if (!t) {
    throw kb_error(msg::not_a_timestamp(value));
  }
  return *t;
}

// Only a signature verified with -k vouches for the trusted comment, and
// only extract, read and check verify one.
void check_comment_options(const pac_options& o) {
  if (!o.floor_path.empty()) {
    // Only what is installed raises the floor: an extract, or a read to -o.
    if (o.mode != MODE_EXTRACT && (o.mode != MODE_READ || o.output_target.empty()))
      throw kb_error(msg::floor_modes());
    // A -t that matches nothing extracts nothing and still succeeds; the
    // rest of the package would then be older than the floor.
    if (o.mode == MODE_EXTRACT && !o.type_filter.empty()) throw kb_error(msg::floor_with_type());
    if (o.key_path.empty()) throw kb_error(msg::floor_needs_key());
  }
  if (o.expected_tokens.empty() && !o.newer_than) return;
  if (o.mode == MODE_LIST || o.mode == MODE_MAKE) throw kb_error(msg::comment_checks_modes());
  if (o.key_path.empty()) {
    throw kb_error(msg::comment_checks_need_key());
  }
}

// Whether stdout carries data alone (a JSON document: --json with -l or -c
// as the last mode; a member: -o - with -r), found before parsing, since
// parsing already prints -d field lines.
bool stdout_carries_data(int argc, char** argv) {
  bool json = false, to_stdout = false, plan = false;
  std::string_view mode;
  for (int i = 1; i < argc; ++i) {
    std::string_view opt = argv[i];
    json = json || opt == "--json";
    plan = plan || opt == "--plan";
    if (opt == "-l" || opt == "-c" || opt == "-e" || opt == "-r" || opt == "-m") mode = opt;
    if (opt == "-o" && i + 1 < argc) to_stdout = std::string_view(argv[i + 1]) == "-";
    if (missing_value_message(opt) != nullptr) ++i;  // its value is no option
  }
  return (json && (mode == "-l" || mode == "-c" || (mode == "-e" && plan))) ||
         (to_stdout && mode == "-r");
}

}  // namespace

command_line parse_options(int argc, char** argv) {
  command_line cmd;
  pac_options& o = cmd.options;
  if (stdout_carries_data(argc, argv)) send_messages_to_stderr();
  for (int i = 1; i < argc; ++i) {
    std::string_view opt = argv[i];
    if (opt == "-p" || opt == "--json" || opt == "--plan") {
      (opt == "-p" ? o.preserve : opt == "--json" ? o.json : o.plan) = true;
      continue;
    }
    if (opt == "--help" || opt == "-h" || opt == "--version" || opt == "-V") {
      cmd.answer = opt == "--help" || opt == "-h" ? std::string(msg::USAGE) + "\n" + msg::HELP
                                                  : msg::VERSION;
      return cmd;
    }
    const char* missing = missing_value_message(opt);
    if (missing == nullptr) {
      note(std::string("ignoring unknown argument '") + argv[i] + "'");
      continue;
    }
    if (i + 1 >= argc) throw kb_error(msg::missing_value(missing));
    const char* value = argv[++i];

    if (opt == "-a") {
      add_member(cmd, value);
    } else if (opt == "-d") {
      if (static_cast<int>(cmd.dirs.size()) >= MAX_DEST_DIRS) {
        throw kb_error(msg::too_many_dest_dirs(MAX_DEST_DIRS));
      }
      add_dest_dir(cmd.dirs, bounded(value, MAX_DEST_VALUE, "dest directory info"));
    } else if (opt == "-f") {
      o.feature = bounded(value, PAC_FEATURE_MAX, "file features");
    } else if (opt == "-m") {
      o.mode = MODE_MAKE;
      o.dest_path = bounded(value, MAX_PATH_VALUE, "dest file name");
    } else if (opt == "-t") {
      o.type_filter = bounded(value, MAX_TYPE_FILTER, "extract file type");
    } else if (opt == "-n") {
      o.name_filter = bounded(value, MAX_NAME_FILTER, "read file name");
    } else if (opt == "-o") {
      o.output_target = bounded(value, MAX_PATH_VALUE, "output file name");
    } else if (opt == "-k") {
      o.key_paths.push_back(bounded(value, MAX_PATH_VALUE, "key file name"));
      o.key_path = o.key_paths.front();
    } else if (opt == "--floor") {
      o.floor_path = bounded(value, MAX_PATH_VALUE, "floor file name");
    } else if (opt == "--sig") {
      o.sig_path = bounded(value, MAX_PATH_VALUE, "signature file name");
    } else if (opt == "--expect") {
      o.expected_tokens.push_back(one_token(value));
    } else if (opt == "--newer-than") {
      o.newer_than = timestamp_value(value);
    } else if (opt == "--progress") {
      // Told as it is read, so that a later bad argument ends in the last line too.
      if (std::string_view(value) != "json") throw kb_error(msg::not_a_progress_kind(value));
      enable_json_progress();
    } else {  // -e, -l, -r, -c
      o.mode = opt == "-e"   ? MODE_EXTRACT
               : opt == "-l" ? MODE_LIST
               : opt == "-r" ? MODE_READ
                             : MODE_CHECK;
      o.package_path = bounded(value, MAX_PATH_VALUE, "file name");
    }
  }
  if (!o.type_filter.empty()) o.preserve = true;  // -t never shrinks the package
  check_comment_options(o);
  return cmd;
}

}  // namespace kb
