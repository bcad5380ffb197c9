// The registered clients kept across a restart: a small file in the folder a
// service manager keeps for the daemon (RUNTIME_DIRECTORY), rewritten within
// a second of a change to the table and read back at start, so that a
// restarted daemon serves its registered clients from its first datagram.
//
// The file is text: a first line naming its kind and version, a line saying
// so when the alternate input was in use, then one line per registered
// entry: address, port, sender id, last contact (monotonic
// whole seconds, which go on across a restart of the process but not of the
// machine, whose /run does not survive either), and the times shown for it
// (Unix seconds). It is written to a temporary file and renamed over the old
// one, so a reader never sees half of it.
#ifndef TOLVEK_DAEMON_STATE_H_
#define TOLVEK_DAEMON_STATE_H_

#include <string>

// The kind and version a file must declare in its first line to be read.
constexpr char STATE_FILE_HEAD[] = "tolvek registered clients 1";
// The second line, when the alternate input was current: a restart goes on
// with it.
#define STATE_FILE_ALTERNATE "input alternate"
constexpr char STATE_FILE_NAME[] = "clients";
// A file larger than this is no file of ours.
constexpr long STATE_FILE_MAX_BYTES = 16L << 20;

// Where the file goes: the first folder of RUNTIME_DIRECTORY, or nowhere
// (nothing is then read or written). Called once at start.
void state_init();
// For tests: the folder to use, "" for none.
void state_set_folder(const std::string& folder);
void state_reset();

// Restores the entries of the file whose last contact is younger than the
// client timeout, enabled, with the time they have left; says how many on
// standard output. A missing, unreadable, foreign or corrupt file is
// ignored, with one line. A run that ended on the alternate input starts
// on it again, if the configuration still has one. Called at start, once
// the configuration is in the table and before the sockets are opened.
void state_restore();

// Writes the file when the table or the input in use has changed since the
// last write and at least a second has passed since then; now is monotonic
// seconds. Called after every wake-up of the loop.
void state_save_if_due(double now);
// When state_save_if_due will next have something to do; a past time when
// nothing waits.
double state_next_save();

#endif  // TOLVEK_DAEMON_STATE_H_
