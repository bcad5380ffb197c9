#include "state.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "clients.h"
#include "sys.h"

static std::string folder;
static unsigned long saved_changes = 0;
static double last_save = -1e18;
static bool save_failing = false;  // told once, until a save succeeds again

void state_set_folder(const std::string& f) { folder = f; }

void state_reset() {
  folder.clear();
  saved_changes = 0;
  last_save = -1e18;
  save_failing = false;
}

void state_init() {
  const char* dirs = getenv("RUNTIME_DIRECTORY");
  if (!dirs || !*dirs) return;
  // Several folders are separated by colons; the first is ours.
  folder.assign(dirs, strcspn(dirs, ":"));
}

static std::string path_of(const char* name) { return folder + "/" + name; }

// One registered entry: what a restart needs to go on serving it.
static void append_entry(std::string& out, const Client& c) {
  char line[128];
  snprintf(line, sizeof line, "%s %u %02x%02x%02x%02x%02x%02x %" PRId64 " %lld %lld\n", inet_ntoa(in_addr{c.s_addr}),
           ntohs(c.sin_port), c.mac[0], c.mac[1], c.mac[2], c.mac[3], c.mac[4], c.mac[5], c.last_contact,
           static_cast<long long>(c.timestamp), static_cast<long long>(c.up_since));
  out += line;
}

static bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// 0, or the errno of what failed.
static int save() {
  std::string text = std::string(STATE_FILE_HEAD) + "\n";
  for (const Client& c : clients) {
    // Configured entries come back from the configuration; a stopped one
    // is about to go.
    if ((c.flags & F_PERMANENT) || !(c.flags & F_ENABLED) || c.last_contact == CONTACT_STOPPED) continue;
    append_entry(text, c);
  }
  std::string path = path_of(STATE_FILE_NAME), temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  bool written = write_all(fd, text);
  int err = written ? 0 : errno ? errno : EIO;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temporary.c_str(), path.c_str()) != 0) err = errno;
  if (err) unlink(temporary.c_str());
  return err;
}

void state_save_if_due(double now) {
  if (folder.empty() || clients_changes == saved_changes || now - last_save < 1.0) return;
  saved_changes = clients_changes;
  last_save = now;
  int err = save();
  if (err && !save_failing)
    unblocked_line(stderr, "tolvek: cannot save the registered clients in %s: %s\n", folder.c_str(), strerror(err));
  save_failing = err != 0;
}

double state_next_save() {
  if (folder.empty() || clients_changes == saved_changes) return -1e18;
  return last_save + 1.0;
}

struct SavedEntry {
  in_addr addr;
  unsigned port;
  uint8_t mac[6];
  long long last_contact, timestamp, up_since;
};

static bool parse_mac(const char* hex, uint8_t* mac) {
  if (strlen(hex) != 12 || strspn(hex, "0123456789abcdef") != 12) return false;
  for (int i = 0; i < 6; i++) {
    char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    mac[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
  }
  return true;
}

// One line of the file, whole and nothing more.
static bool parse_entry(const char* line, SavedEntry& e) {
  char address[16], mac[16];
  int end = -1;
  if (sscanf(line, "%15s %u %15s %lld %lld %lld%n", address, &e.port, mac, &e.last_contact, &e.timestamp,
             &e.up_since, &end) != 6 ||
      line[end] != '\0')
    return false;
  return inet_aton(address, &e.addr) != 0 && e.port >= 1 && e.port <= 65535 && parse_mac(mac, e.mac);
}

// The file's entries; false, with the reason, when it is not a whole file
// of ours.
static bool read_entries(const std::string& path, std::vector<SavedEntry>& out, std::string& why) {
  FILE* f = fopen(path.c_str(), "re");
  if (!f) {
    why = strerror(errno);
    return false;
  }
  struct stat st{};
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > STATE_FILE_MAX_BYTES) {
    fclose(f);
    why = "not a file of registered clients";
    return false;
  }
  char line[256];
  unsigned number = 0;
  bool ok = true;
  while (ok && fgets(line, sizeof line, f)) {
    number++;
    size_t n = strlen(line);
    if (n == 0 || line[n - 1] != '\n') {
      ok = false;
      break;
    }
    line[n - 1] = '\0';
    if (number == 1) {
      ok = strcmp(line, STATE_FILE_HEAD) == 0;
      if (!ok) why = "not a file of registered clients";
      continue;
    }
    SavedEntry e{};
    ok = parse_entry(line, e);
    if (ok) out.push_back(e);
  }
  if (ok && ferror(f)) {
    ok = false;
    why = strerror(errno);
  }
  fclose(f);
  if (ok && number == 0) {
    ok = false;
    why = "empty";
  }
  if (!ok && why.empty()) why = "damaged at line " + std::to_string(number);
  return ok;
}

void state_restore() {
  if (folder.empty()) return;
  std::string path = path_of(STATE_FILE_NAME);
  std::vector<SavedEntry> entries;
  std::string why;
  if (!read_entries(path, entries, why)) {
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
      unblocked_line(stdout, "No registered clients saved in %s.\n", folder.c_str());
    } else {
      unblocked_line(stderr, "tolvek: ignoring the saved clients in %s: %s\n", path.c_str(), why.c_str());
    }
    return;
  }
  int64_t now = mono_seconds();
  unsigned restored = 0, dropped = 0;
  for (const SavedEntry& e : entries) {
    // A contact in the future was made on another boot's clock.
    bool fresh = e.last_contact <= now && now - e.last_contact <= client_timeout;
    if (fresh && restore_client(e.addr.s_addr, htons(static_cast<uint16_t>(e.port)), e.mac, e.last_contact,
                                static_cast<time_t>(e.timestamp), static_cast<time_t>(e.up_since))) {
      restored++;
    } else {
      dropped++;
    }
  }
  saved_changes = clients_changes;
  unblocked_line(stdout, "Restored %u registered clients from %s; %u left out.\n", restored, path.c_str(), dropped);
}
