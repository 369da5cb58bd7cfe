// Console output: the messages scripts parse go to stdout (or, while stdout
// carries a document, to stderr); reasons and notes for people go to stderr.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kb {

// Writes console text as it stands to message_stream(), flushed at once.
void say(std::string_view text);

// Where console messages go: stdout, unless send_messages_to_stderr() was
// called because stdout carries data alone (a JSON document, a member).
std::FILE* message_stream();
void send_messages_to_stderr();

// One line on stderr naming the file a system call failed on and why (err,
// captured where it failed; 0 for a file that ended early), followed by
// what the tool does about it, if anything. stdout stays as it was.
void say_reason(std::string_view path, int err, std::string_view next = {});

// One line on stderr: "kestrelbind: " and text.
void note(std::string_view text);

// Console text as one line: its lines, blanks trimmed, joined by "; ".
std::string one_line(std::string_view text);

// Whether text holds a byte below 0x20 or 0x7f (DEL), or a C1 control,
// U+2028 or U+2029 in UTF-8: whatever a reader may take for a line end.
bool has_control_byte(std::string_view text);
// text with each of those shown as "?", for a message or a terminal.
std::string shown(std::string_view text);

}  // namespace kb
