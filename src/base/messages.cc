// The texts of the stdout contract (see messages.h). Each is frozen: a
// changed byte breaks the device scripts that parse it.
#include "base/messages.h"

namespace kb::msg {
namespace {

std::string s(text t) {
  return std::string(t);
}

std::string n(std::int64_t v) {
  return std::to_string(v);
}

}  // namespace

// ---- the command line ----

// Scripts and people have read this text for years; its spellings stay.
const char USAGE[] =
    "\r\nkestrelbind -m dest-file-name -f decimal-feature-value -a "
    "system,sytem-file-name,sytem-file-version -a modem,modem-file-name,modem-file-version -a "
    "idu,idu-file-name,idu-file-version -a config,config-file-name,config-file-version\r\n"
    "kestrelbind -e extract-file-name -d <file-type>,<dest-directory>\r\n"
    "kestrelbind -l list-file-name\r\n"
    "kestrelbind -r extract-file-name -n abc.tar.gz\r\n"
    "kestrelbind -r extract-file-name -t system\r";

// What --help adds after the usage text: every option, one line each.
const char HELP[] =
    "\nOptions (see kestrelbind(1) for the whole story):\n"
    "  -m package         make package from the -a members\n"
    "  -a type,path,ver   with -m: add the file at path as a member of that type and version\n"
    "  -f feature         with -m: the package's feature string\n"
    "  -l package         list the package\n"
    "  -e package         extract the package in place, cutting it behind every piece\n"
    "  -d type,dir        with -e: write members of type into dir (else the current one)\n"
    "  -p                 with -e: extract without cutting the package\n"
    "  -t type            with -e, -r, -c: only members of that type (-e then cuts nothing)\n"
    "  -n name            with -r, -c: only the member of that name\n"
    "  -r package         read one member, chosen by -n and/or -t, into the current directory\n"
    "  -o target          with -r: write it to target (a file, a device, - for stdout)\n"
    "  -c package         check every member's MD5, writing nothing\n"
    "  --json             with -l, -c: print one JSON document on stdout instead\n"
    "  -k keyfile         with -e, -r, -c: verify package.minisig with this minisign key\n"
    "  --expect TOKEN     with -k: the trusted comment must hold TOKEN as a whole word\n"
    "  --newer-than N     with -k: the trusted comment must hold timestamp:T with T > N\n"
    "  --sig FILE         with -k (which may be given again): the signature is FILE\n"
    "  --floor FILE       with -k, -e or -r -o: need a timestamp newer than FILE's, then store it\n"
    "  --plan             with -e: print what the extract would do and need, change nothing\n"
    "  --progress json    progress as JSON lines on stderr, the last with the exit status\n"
    "  -V, --version      print the version\n"
    "  -h, --help         print this text\n";

const char VERSION[] = "kestrelbind " KESTRELBIND_VERSION "\n";

std::string missing_value(text what) {
  return "\r\n please specify the " + s(what) + "!\r\n";
}
std::string too_long(text label, std::size_t max, text value) {
  return "\r\n " + s(label) + " too long (at most " + std::to_string(max) + " bytes): " + s(value) +
         " \r\n";
}
std::string too_many_files(int max) {
  return "\r\n too many files added, at most " + n(max) + "! \r\n";
}
std::string too_many_dest_dirs(int max) {
  return "\r\n too many dest directories, at most " + n(max) + "! \r\n";
}
std::string not_a_single_token(text token) {
  return "\r\n --expect \"" + s(token) + "\" is not a single token! \r\n";
}
std::string not_a_timestamp(text value) {
  return "\r\n --newer-than \"" + s(value) + "\" is not a decimal timestamp! \r\n";
}
std::string not_a_progress_kind(text value) {
  return "\r\n --progress \"" + s(value) + "\" is not json! \r\n";
}
std::string plan_member(text type, text name, std::int64_t size, text output) {
  return "\r\n plan member type:" + s(type) + ",name:" + s(name) + ",size:" + n(size) +
         ",output:" + s(output) + " \r\n";
}
std::string plan_room(text path, std::int64_t needs, std::int64_t free, text safety) {
  return "\r\n plan filesystem of " + s(path) + " needs:" + n(needs) + ",free:" + n(free) +
         ",safety:" + s(safety) + " \r\n";
}
std::string plan_no_room(text path, std::int64_t needs, std::int64_t free) {
  return "\r\n the extract needs " + n(needs) + " bytes on the filesystem of " + s(path) +
         ", which has " + n(free) + " free! \r\n";
}
std::string plan_goes_ahead(text package) {
  return "\r\n the extract of " + s(package) + " would go ahead \r\n";
}
std::string floor_modes() {
  return "\r\n --floor works with -e and -r -o only! \r\n";
}
std::string floor_with_type() {
  return "\r\n --floor does not work with -e -t, a part of the package does not raise the floor! "
         "\r\n";
}
std::string floor_needs_key() {
  return "\r\n --floor needs -k, without a key nothing vouches for the timestamp! \r\n";
}
std::string floor_not_right(text path) {
  return "\r\n floor file " + s(path) + " does not hold a timestamp! \r\n";
}
std::string floor_not_written(text path) {
  return "\r\n floor file " + s(path) + " can not be written! \r\n";
}
std::string comment_checks_modes() {
  return "\r\n --expect and --newer-than work with -e, -r and -c only! \r\n";
}
std::string comment_checks_need_key() {
  return "\r\n --expect and --newer-than need -k, without a key nothing vouches for the trusted "
         "comment! \r\n";
}
std::string dest_parameter_not_right() {
  return "\r\n -d parameter not right! \r\n";
}
std::string dest_field(text directory) {
  return "\r\n field = " + s(directory) + " \r\n";
}
std::string md5_not_right() {
  return "\r\n md5 checksum functions are not right! \r\n";
}
std::string out_of_memory() {
  return "\r\n out of memory! \r\n";
}
std::string unexpected_failure(text what) {
  return "\r\n unexpected failure: " + s(what) + "! \r\n";
}

// ---- files and the package ----

std::string not_pac_file(text path) {
  return "\r\n " + s(path) + " is not a pac file! \r\n";
}
std::string file_not_right() {
  return "\r\n file is not right! \r\n";
}
std::string file_size_not_right() {
  return "\r\n file size is not right! \r\n";
}
std::string count_over_50(text count) {
  return "\r\n file count " + s(count) + " is more than 50! \r\n";
}
std::string file_not_exist(text path) {
  return "\r\n file " + s(path) + " not exist! \r\n";
}
std::string cannot_open(text path) {
  return "\r\n can not open file " + s(path) + "! \r\n";
}
std::string cannot_get_size(text path) {
  return "\r\n can not get file size info: " + s(path) + "! \r\n";
}
std::string cannot_read(text path) {
  return "\r\n can not read file " + s(path) + "! \r\n";
}
std::string cannot_write_to(text path) {
  return "\r\n can not write to file:" + s(path) + " \r\n";
}
std::string dest_dir_not_exist(text dir) {
  return "\r\ndest directory " + s(dir) + " not exit! \r\n";
}
std::string symbolic_link_in_place(text path) {
  return "\r\n file " + s(path) + " is a symbolic link, refusing to extract it in place! \r\n";
}
std::string other_names_in_place(text path) {
  return "\r\n file " + s(path) + " has other names, refusing to extract it in place! \r\n";
}
std::string another_extract_running(text path) {
  return "\r\n another extract of " + s(path) + " is running, try again when it ends! \r\n";
}
std::string cut_short(text path, text rerun_options) {
  return "\r\n an extract of " + s(path) + " was cut short, run kestrelbind -e " + s(path) +
         s(rerun_options) + " to finish it! \r\n";
}
std::string member_name_not_plain(text name) {
  return "\r\n file name " + s(name) +
         " is not allowed: a member name must be a plain file name! \r\n";
}
std::string member_name_control_bytes(text shown_name) {
  return "\r\n file name " + s(shown_name) +
         " is not allowed: a member name must not hold control bytes! \r\n";
}
std::string no_member_found() {
  return "\r\n File not exsit!\r\n";
}
std::string checksum_not_right(text output, text digest) {
  return "\r\n file " + s(output) + " checksum " + s(digest) + " not right! \r\n";
}

// ---- make ----

std::string fail_to_add_file() {
  return "\r\n fail to add file! \r\n";
}
std::string field_control_bytes(text label, text shown_value) {
  return "\r\n file " + s(label) + " " + s(shown_value) + " holds control bytes! \r\n";
}
std::string not_regular_file(text path) {
  return "\r\n file " + s(path) + " is not a regular file! \r\n";
}
std::string member_too_large(text path) {
  return "\r\n file " + s(path) + " is too large: a member must be less than 2 GiB! \r\n";
}
std::string members_do_not_fit(text path) {
  return "\r\n file " + s(path) + " does not fit: a package holds less than 2 GiB of members! \r\n";
}
std::string twin_members(text type, text name) {
  return "\r\n two members of type " + s(type) + " are named " + s(name) +
         ", a package can hold only one! \r\n";
}
std::string make_interrupted(text dest) {
  return "\r\n make of " + s(dest) + " was interrupted! \r\n";
}
std::string cannot_write_package(text dest) {
  return "\r\n can not write file to :" + s(dest) + "! \r\n";
}
std::string shorter_than_added(text path) {
  return "\r\n file " + s(path) + " is shorter than when it was added! \r\n";
}
std::string written(text type, text path, text version, text size, text offset, text md5) {
  return "\r\n write file type:" + s(type) + ",name:" + s(path) + ",version:" + s(version) +
         ",size:" + s(size) + ",offset:" + s(offset) + ",md5:" + s(md5) + " \r\n";
}

// ---- extract ----

std::string extracted(text name, text size, text md5, text version) {
  return "\r\n extract file " + s(name) + " size:" + s(size) + " md5:" + s(md5) +
         ",version:" + s(version) + " successfully! \r\n";
}
std::string is_the_package(text output, text package) {
  return "\r\n file " + s(output) + " is the package " + s(package) +
         " itself, refusing to overwrite it! \r\n";
}
std::string beside_the_package(text output, text package) {
  return "\r\n file " + s(output) + " is kept beside the package " + s(package) +
         ", refusing to overwrite it! \r\n";
}
std::string printed_field_control_bytes(text package, text field) {
  return "\r\n package " + s(package) + " is refused, its " + s(field) +
         " field holds control bytes! \r\n";
}
std::string written_twice(text output) {
  return "\r\n two members would be written to " + s(output) + ", it can not be extracted! \r\n";
}
std::string members_overlap(text package) {
  return "\r\n members of " + s(package) + " overlap, it can not be extracted in place! \r\n";
}
std::string extract_interrupted(text package) {
  return "\r\n extract of " + s(package) + " was interrupted! \r\n";
}
std::string read_error() {
  return "\r\n crypt_fread error:0 \r\n";
}
std::string write_error() {
  return "\r\n fwrite error:0 \r\n";
}
std::string changed_while_extracted(text package) {
  return "\r\n package " + s(package) + " changed while it was extracted! \r\n";
}
std::string damaged_and_left_out(text output) {
  return "\r\n file " + s(output) +
         " was damaged when the extract was cut short, it is left out! \r\n";
}
std::string now_holds(text package, int kept) {
  return "\r\n package " + s(package) + " now holds the " + n(kept) +
         " members not yet extracted \r\n";
}
std::string cannot_restore(text package, text why) {
  return "\r\n can not restore package " + s(package) + ": " + s(why) + "! \r\n";
}
std::string left_for_the_same_command(text package) {
  return "\r\n the extract of " + s(package) +
         " is left as a kill would leave it, run the same command again to finish it! \r\n";
}
std::string journal_not_removed(text package) {
  return "\r\n the journal of " + s(package) +
         " could not be removed, run the same command again to remove it! \r\n";
}
std::string needs_room(text package, std::int64_t needed) {
  return "\r\n package " + s(package) + " needs " + n(needed) +
         " bytes free beside it to be extracted in place, nothing is changed! \r\n";
}
std::string resuming(text package) {
  return "\r\n resuming the extract of " + s(package) + " that was cut short \r\n";
}
std::string not_recovered(int lost, text package) {
  return "\r\n " + n(lost) + " members of " + s(package) + " could not be recovered! \r\n";
}
std::string other_destinations(text package, text started_in) {
  return "\r\n the extract of " + s(package) + " was started in " + s(started_in) +
         " with other destinations, run the same command there to finish it! \r\n";
}
std::string output_missing_bytes(text output, std::int64_t bytes, text name, text what) {
  return "\r\n file " + s(output) + " must hold the first " + n(bytes) + " bytes of " + s(name) +
         ", which left the package, but it is " + s(what) +
         "; nothing is changed, run the same command again once it is back! \r\n";
}
std::string cannot_be_put_together(text package) {
  return "\r\n the extract of " + s(package) +
         " was cut short where its bytes can not be put together again, it can not be "
         "verified! \r\n";
}
std::string give_the_key(text package, text key_id) {
  return "\r\n the extract of " + s(package) + " was verified with key " + s(key_id) +
         " before it was cut short, give that key (-k) to finish it! \r\n";
}
std::string journal_damaged(text journal) {
  return "\r\n journal " + s(journal) + " is damaged, refusing to follow it! \r\n";
}
std::string journal_mismatch(text journal, text package) {
  return "\r\n journal " + s(journal) + " does not match package " + s(package) +
         ", refusing to follow it! \r\n";
}
std::string cannot_read_journal(text journal) {
  return "\r\n can not read journal " + s(journal) + "! \r\n";
}

// ---- read ----

std::string name_or_type_needed() {
  return "\r\n please entry a file name or type!\r\n";
}
std::string changed_by_others(text package, text target) {
  return "\r\n package " + s(package) + " can be changed by others, refusing to write it to " +
         s(target) + "! \r\n";
}

std::string device_in_use(text device) {
  return "\r\n device " + s(device) + " is mounted or in use, refusing to write to it! \r\n";
}
std::string device_too_small(text device, std::int64_t bytes, text name, std::int64_t size) {
  return "\r\n device " + s(device) + " holds " + n(bytes) + " bytes, too few for the " + n(size) +
         " bytes of " + s(name) + ", nothing is written! \r\n";
}

// ---- check ----

std::string check_good(text shown_name, text size, text md5, text version) {
  return "\r\n check file " + s(shown_name) + " size:" + s(size) + " md5:" + s(md5) +
         ",version:" + s(version) + " good! \r\n";
}
std::string check_not_right(text shown_name, text digest) {
  return "\r\n check file " + s(shown_name) + " checksum " + s(digest) + " not right! \r\n";
}
std::string check_unreadable(text shown_name) {
  return "\r\n check file " + s(shown_name) + " can not be read! \r\n";
}
std::string no_extract_takes_twins(text type, text name) {
  return "\r\n two members of type " + s(type) + " would be written to " + s(name) +
         ", no extract takes them! \r\n";
}
std::string damaged_members(text package, int count) {
  return "\r\n package " + s(package) + " has " + n(count) + " damaged members! \r\n";
}
std::string refused_members(text package, int count) {
  return "\r\n package " + s(package) + " has " + n(count) + " members that no extract takes! \r\n";
}

// ---- the listing ----

std::string list_meta(text version, text feature) {
  return "\r\ntype:meta,version:" + s(version) + ",feature:" + s(feature) + "\r\n";
}
std::string list_member(text type, text name, text version, text size, text offset, text md5) {
  return "\r\ntype:" + s(type) + ",name:" + s(name) + ",version:" + s(version) +
         ",size:" + s(size) + ",offset:" + s(offset) + ",md5:" + s(md5) + "\r\n";
}

// ---- signatures ----

std::string not_a_public_key(text key_path) {
  return "\r\n key file " + s(key_path) + " is not a minisign public key! \r\n";
}
std::string no_signature_library() {
  return "\r\n can not start the signature library! \r\n";
}
std::string signature_unreadable(text sig_path) {
  return "\r\n signature file " + s(sig_path) + " can not be read! \r\n";
}
std::string not_a_signature(text sig_path) {
  return "\r\n signature file " + s(sig_path) + " is not a minisign signature! \r\n";
}
std::string legacy_signature(text sig_path) {
  return "\r\n signature file " + s(sig_path) +
         " is in the legacy mode, sign with the default prehashed mode (minisign -Sm)! \r\n";
}
std::string signed_by_other_key(text package, text signed_by, text key) {
  return "\r\n package " + s(package) + " is signed by key " + s(signed_by) + ", not by key " +
         s(key) + "! \r\n";
}
std::string signed_by_none_of_keys(text package, text signed_by, text keys) {
  return "\r\n package " + s(package) + " is signed by key " + s(signed_by) +
         ", not by any of keys " + s(keys) + "! \r\n";
}
std::string signature_not_right(text package) {
  return "\r\n signature of package " + s(package) + " is not right! \r\n";
}
std::string trusted_comment_not_right(text package) {
  return "\r\n trusted comment of package " + s(package) + " is not right! \r\n";
}
std::string verified(text package, text key_id, text shown_comment) {
  return "\r\n package " + s(package) + " verified with key " + s(key_id) +
         ", trusted comment: " + s(shown_comment) + " \r\n";
}
std::string changed_while_verified(text package) {
  return "\r\n package " + s(package) + " changed while it was verified! \r\n";
}

namespace {

std::string refused_by_comment(text package, text shown_comment) {
  return "\r\n package " + s(package) + " is refused, its trusted comment \"" + s(shown_comment) +
         "\" ";
}

}  // namespace

std::string comment_lacks_token(text package, text shown_comment, text token) {
  return refused_by_comment(package, shown_comment) + "does not hold " + s(token) + "! \r\n";
}
std::string comment_not_newer(text package, text shown_comment, std::uint64_t than) {
  return refused_by_comment(package, shown_comment) + "is not newer than " + std::to_string(than) +
         "! \r\n";
}
std::string comment_without_timestamp(text package, text shown_comment) {
  return refused_by_comment(package, shown_comment) + "holds no timestamp! \r\n";
}

}  // namespace kb::msg
