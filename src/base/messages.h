// Every text the tool prints to stdout. Device scripts parse these byte for
// byte, so they are frozen: odd spellings, spaces and line ends included.
// A new message is a new function here; an old one never changes. (Reasons
// and notes for people go to stderr, elsewhere.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace kb::msg {

using text = std::string_view;

// ---- the command line ----
extern const char USAGE[];
extern const char HELP[];              // --help: every option after the usage text
extern const char VERSION[];           // "kestrelbind VERSION\n"
std::string missing_value(text what);  // "please specify the <what>!"
std::string too_long(text label, std::size_t max, text value);
std::string too_many_files(int max);
std::string too_many_dest_dirs(int max);
std::string not_a_single_token(text token);
std::string not_a_timestamp(text value);
std::string not_a_progress_kind(text value);
std::string floor_modes();
// --plan: per member, per filesystem, and the verdict
std::string plan_member(text type, text name, std::int64_t size, text output);
std::string plan_room(text path, std::int64_t needs, std::int64_t free, text safety);
std::string plan_no_room(text path, std::int64_t needs, std::int64_t free);
std::string plan_goes_ahead(text package);
std::string floor_needs_key();
std::string floor_with_type();
std::string floor_not_right(text path);
std::string floor_not_written(text path);
std::string comment_checks_modes();
std::string comment_checks_need_key();
std::string dest_parameter_not_right();
std::string dest_field(text directory);
std::string md5_not_right();
std::string out_of_memory();
std::string unexpected_failure(text what);

// ---- files and the package ----
std::string not_pac_file(text path);
std::string file_not_right();
std::string file_size_not_right();
std::string count_over_50(text count);
std::string file_not_exist(text path);
std::string cannot_open(text path);
std::string cannot_get_size(text path);
std::string cannot_read(text path);
std::string cannot_write_to(text path);  // the output of a member
std::string dest_dir_not_exist(text dir);
std::string symbolic_link_in_place(text path);
std::string other_names_in_place(text path);
std::string another_extract_running(text path);
std::string cut_short(text path, text rerun_options);  // options: "" or " -k ... -d ..."
std::string member_name_not_plain(text name);
std::string member_name_control_bytes(text shown_name);
std::string no_member_found();  // "File not exsit!"
std::string checksum_not_right(text output, text digest);

// ---- make ----
std::string fail_to_add_file();
std::string field_control_bytes(text label, text shown_value);
std::string not_regular_file(text path);
std::string member_too_large(text path);
std::string members_do_not_fit(text path);
std::string twin_members(text type, text name);
std::string make_interrupted(text dest);
std::string cannot_write_package(text dest);
std::string shorter_than_added(text path);
std::string written(text type, text path, text version, text size, text offset, text md5);

// ---- extract ----
std::string extracted(text name, text size, text md5, text version);
std::string is_the_package(text output, text package);
std::string beside_the_package(text output, text package);
std::string written_twice(text output);
std::string printed_field_control_bytes(text package, text field);
std::string members_overlap(text package);
std::string extract_interrupted(text package);
std::string read_error();   // a piece could not be read from the package
std::string write_error();  // a piece could not be written or synced
std::string changed_while_extracted(text package);
std::string damaged_and_left_out(text output);
std::string now_holds(text package, int kept);
std::string cannot_restore(text package, text why);
// After cannot_restore: the journal and the outputs are as a kill would
// leave them, and the same command finishes the extract.
std::string left_for_the_same_command(text package);
// Every member is out, but the journal could not be removed.
std::string journal_not_removed(text package);
// Refused before anything changes: an extract in place needs this room.
std::string needs_room(text package, std::int64_t needed);
std::string resuming(text package);
std::string not_recovered(int lost, text package);
std::string other_destinations(text package, text started_in);
std::string output_missing_bytes(text output, std::int64_t bytes, text name, text what);
std::string cannot_be_put_together(text package);
std::string give_the_key(text package, text key_id);
std::string journal_damaged(text journal);
std::string journal_mismatch(text journal, text package);
std::string cannot_read_journal(text journal);

// ---- read ----
std::string name_or_type_needed();
std::string changed_by_others(text package, text target);
std::string device_in_use(text device);
std::string device_too_small(text device, std::int64_t bytes, text name, std::int64_t size);

// ---- check ----
std::string check_good(text shown_name, text size, text md5, text version);
std::string check_not_right(text shown_name, text digest);
std::string check_unreadable(text shown_name);
std::string no_extract_takes_twins(text type, text name);
std::string damaged_members(text package, int count);
std::string refused_members(text package, int count);

// ---- the listing ----
std::string list_meta(text version, text feature);
std::string list_member(text type, text name, text version, text size, text offset, text md5);

// ---- signatures ----
std::string not_a_public_key(text key_path);
std::string no_signature_library();
std::string signature_unreadable(text sig_path);
std::string not_a_signature(text sig_path);
std::string legacy_signature(text sig_path);
std::string signed_by_other_key(text package, text signed_by, text key);
std::string signed_by_none_of_keys(text package, text signed_by, text keys);
std::string signature_not_right(text package);
std::string trusted_comment_not_right(text package);
std::string verified(text package, text key_id, text shown_comment);
std::string changed_while_verified(text package);
std::string comment_lacks_token(text package, text shown_comment, text token);
std::string comment_not_newer(text package, text shown_comment, std::uint64_t than);
std::string comment_without_timestamp(text package, text shown_comment);

}  // namespace kb::msg

namespace kb {

// A value that does not fit its field or buffer.
inline kb_error too_long(std::string_view label, std::size_t max, std::string_view value) {
  return kb_error(msg::too_long(label, max, value));
}

}  // namespace kb
