#include "daemon/state.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/net.h"

static char folder[PATH_MAX - 32];  // empty: nothing is read or written
static unsigned long saved_changes = 0;
static int saved_toggle = 0;  // the input that was current at the last save
static double last_save = -1e18;
static bool save_failing = false;  // told once, until a save succeeds again

void state_set_folder(const std::string& f) { snprintf(folder, sizeof folder, "%s", f.c_str()); }

void state_reset() {
  folder[0] = '\0';
  saved_changes = 0;
  saved_toggle = 0;
  last_save = -1e18;
  save_failing = false;
}

void state_init() {
  const char* dirs = getenv("RUNTIME_DIRECTORY");
  if (!dirs) return;
  // Several folders are separated by colons; the first is ours.
  snprintf(folder, sizeof folder, "%.*s", static_cast<int>(strcspn(dirs, ":")), dirs);
}

// Writes len bytes whole: false, with errno, when it cannot.
static bool write_all(int fd, const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The registered entries, one line each: what a restart needs to go on
// serving them. Configured entries come back from the configuration, and
// a stopped one is about to go.
static bool write_entries(int fd) {
  char text[4096];
  size_t n = static_cast<size_t>(
      snprintf(text, sizeof text, "%s\n%s", STATE_FILE_HEAD, alt_toggle ? STATE_FILE_ALTERNATE "\n" : ""));
  for (const Client& c : clients) {
    if ((c.flags & F_PERMANENT) || !(c.flags & F_ENABLED) || c.last_contact == CONTACT_STOPPED) continue;
    if (n > sizeof text - 128) {
      if (!write_all(fd, text, n)) return false;
      n = 0;
    }
    n += static_cast<size_t>(
        snprintf(text + n, sizeof text - n, "%s %u %02x%02x%02x%02x%02x%02x %" PRId64 " %lld %lld\n",
                 inet_ntoa(in_addr{c.s_addr}), ntohs(c.sin_port), c.mac[0], c.mac[1], c.mac[2], c.mac[3], c.mac[4],
                 c.mac[5], c.last_contact, static_cast<long long>(c.timestamp), static_cast<long long>(c.up_since)));
  }
  return write_all(fd, text, n);
}

// 0, or the errno of what failed.
[[gnu::cold]] static int save() {
  char path[PATH_MAX], temporary[PATH_MAX + 8];
  snprintf(path, sizeof path, "%s/%s", folder, STATE_FILE_NAME);
  snprintf(temporary, sizeof temporary, "%s.new", path);
  int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = write_entries(fd) ? 0 : errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temporary, path) != 0) err = errno;
  if (err) unlink(temporary);
  return err;
}

static bool changed() { return clients_changes != saved_changes || alt_toggle != saved_toggle; }

void state_save_if_due(double now) {
  if (!folder[0] || !changed() || now - last_save < 1.0) return;
  saved_changes = clients_changes;
  saved_toggle = alt_toggle;
  last_save = now;
  int err = save();
  if (err && !save_failing)
    unblocked_line(stderr, "tolvek: cannot save the registered clients in %s: %s\n", folder, strerror(err));
  save_failing = err != 0;
}

double state_next_save() {
  if (!folder[0] || !changed()) return -1e18;
  return last_save + 1.0;
}

struct SavedEntry {
  in_addr addr;
  unsigned port;
  uint8_t mac[6];
  long long last_contact, timestamp, up_since;
};

static int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// One line of the file, whole and nothing more.
static bool parse_entry(const char* line, SavedEntry& e) {
  char address[16], mac[13];
  int end = -1;
  if (sscanf(line, "%15s %u %12[0-9a-f] %lld %lld %lld%n", address, &e.port, mac, &e.last_contact, &e.timestamp,
             &e.up_since, &end) != 6 ||
      line[end] != '\0' || strlen(mac) != 12)
    return false;
  for (int i = 0; i < 6; i++) e.mac[i] = static_cast<uint8_t>(hex_digit(mac[2 * i]) << 4 | hex_digit(mac[2 * i + 1]));
  return inet_aton(address, &e.addr) != 0 && e.port >= 1 && e.port <= 65535;
}

// Reads the file's entries, handing each to restore when it is given:
// false, with the reason, when the file is not a whole file of ours.
static bool read_entries(FILE* f, void (*restore)(const SavedEntry&), bool* alternate, const char** why) {
  char line[256];
  unsigned number = 0;
  static char damaged[48];
  *alternate = false;
  while (fgets(line, sizeof line, f)) {
    number++;
    size_t n = strlen(line);
    bool whole = n > 0 && line[n - 1] == '\n';
    if (whole) line[n - 1] = '\0';
    SavedEntry e{};
    if (number == 1 && (!whole || strcmp(line, STATE_FILE_HEAD) != 0)) {
      *why = "not a file of registered clients";
      return false;
    }
    if (number == 2 && whole && strcmp(line, STATE_FILE_ALTERNATE) == 0) {
      *alternate = true;
      continue;
    }
    if (number > 1 && (!whole || !parse_entry(line, e))) {
      snprintf(damaged, sizeof damaged, "damaged at line %u", number);
      *why = damaged;
      return false;
    }
    if (number > 1 && restore) restore(e);
  }
  if (ferror(f)) *why = strerror(errno);
  if (number == 0) *why = "empty";
  return !ferror(f) && number > 0;
}

static unsigned restored, left_out;

void state_restore() {
  if (!folder[0]) return;
  char path[PATH_MAX];
  snprintf(path, sizeof path, "%s/%s", folder, STATE_FILE_NAME);
  FILE* f = fopen(path, "re");
  if (!f && errno == ENOENT) {
    unblocked_line(stdout, "No registered clients saved in %s.\n", folder);
    return;
  }
  const char* why = f ? nullptr : strerror(errno);
  struct stat st{};
  if (f && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > STATE_FILE_MAX_BYTES))
    why = "not a file of registered clients";
  // Checked whole before anything is restored: a damaged file counts for nothing.
  bool alternate = false;
  if (f && !why && read_entries(f, nullptr, &alternate, &why)) {
    restored = left_out = 0;
    rewind(f);
    read_entries(
        f,
        [](const SavedEntry& e) {
          int64_t now = mono_seconds();
          // A contact in the future was made on another boot's clock.
          bool fresh = e.last_contact <= now && now - e.last_contact <= client_timeout;
          if (fresh && restore_client(e.addr.s_addr, htons(static_cast<uint16_t>(e.port)), e.mac, e.last_contact,
                                      static_cast<time_t>(e.timestamp), static_cast<time_t>(e.up_since))) {
            restored++;
          } else {
            left_out++;
          }
        },
        &alternate, &why);
    saved_changes = clients_changes;
    unblocked_line(stdout, "Restored %u registered clients from %s; %u left out.\n", restored, path, left_out);
    // The source that served the last run serves this one: a restart while
    // the primary is down costs no second failover.
    if (alternate && settings.alt_input_port >= 0) {
      start_on_alternate_input();
      saved_toggle = alt_toggle;
      unblocked_line(stdout, "Starting on the alternate input, as the last run ended.\n");
    }
  } else {
    unblocked_line(stderr, "tolvek: ignoring the saved clients in %s: %s\n", path, why);
  }
  if (f) fclose(f);
}
