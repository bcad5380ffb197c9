#include "daemon/reload.h"

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/net.h"

static bool same(const SourceRecord* a, const SourceRecord* b) {
  if (!a || !b) return !a && !b;
  return a->a.sin_addr.s_addr == b->a.sin_addr.s_addr && a->a.sin_port == b->a.sin_port && a->password == b->password;
}

[[gnu::cold]] ReloadOutcome reload_configuration() {
  ReloadOutcome outcome;
  const std::string& path = config_file();
  if (path.empty()) {
    unblocked_line(stderr, "tolvek: started with options, not a configuration file: nothing to reload.\n");
    return outcome;
  }
  notify_reloading();
  Settings next;
  char cause[CONFIG_CAUSE_LEN];
  if (!load_config(path.c_str(), next, cause)) {
    unblocked_line(stderr, "tolvek: reload refused: %s; still running on the previous configuration.\n", cause);
    notify_ready();
    return outcome;
  }
  const SourceRecord* before = current_source();
  // The running settings go with install_settings: what is compared must
  // be read first.
  SourceRecord old_source = before ? *before : SourceRecord{};
  outcome.input_moved = move_sockets(next);
  install_settings(std::move(next));
  outcome.source_changed = !same(before ? &old_source : nullptr, current_source());
  for (const ConfiguredChange& c : configure_clients(settings.configured_clients, settings.max_n_clients)) {
    in_addr a{c.s_addr};
    if (c.permanent) {
      unblocked_line(stdout, "Adding a permanent client %s:%u\n", inet_ntoa(a), ntohs(c.sin_port));
    } else {
      unblocked_line(stdout, "Client %s:%u is no longer permanent.\n", inet_ntoa(a), ntohs(c.sin_port));
    }
  }
  warn_shared_input(settings);
  unblocked_line(stdout, "Reloaded the configuration from %s.\n", path.c_str());
  notify_ready();
  return outcome;
}
