// Control packets: the admission check and what an admitted packet does to
// the client table. Their wire format is in wire.h.
#ifndef TOLVEK_DAEMON_CONTROL_H_
#define TOLVEK_DAEMON_CONTROL_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/wire.h"
#include "daemon/config.h"

// Admission check: 1 admits the sender, 0 rejects it.
int check_pass(const sockaddr_in& sender, const uint8_t* packet, size_t len);

// Control path for one datagram from the output socket.
void handle_control(const uint8_t* buf, size_t len, const sockaddr_in& sender);

// The system log line for a status report.
std::string status_report_line(const uint8_t* buf, size_t len);


#endif  // TOLVEK_DAEMON_CONTROL_H_
