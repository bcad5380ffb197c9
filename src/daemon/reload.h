// A reload: the configuration file read again and applied in place, between
// two datagrams, without a restart.
#ifndef TOLVEK_DAEMON_RELOAD_H_
#define TOLVEK_DAEMON_RELOAD_H_

// Reads the file the daemon was started with and checks it as start-up
// does. A file start-up would refuse changes nothing: one line names the
// cause. Otherwise the settings, lists, sources and sockets follow it (a
// socket whose port is unchanged stays open), permanent and allowed entries
// follow it, and registered entries stay with their timers, to be checked
// again at their next control packet. Statistics go on. Started with
// options instead of a file, nothing changes, and a line says so.
struct ReloadOutcome {
  bool input_moved = false;     // to another port or socket
  bool source_changed = false;  // the current source is another (or none)
};
ReloadOutcome reload_configuration();

#endif  // TOLVEK_DAEMON_RELOAD_H_
