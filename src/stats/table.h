// The statistics report as a table for people at a terminal, for
// tolvek-stats: a block of the stream's figures, then one row per client in
// the report's order, which is the repeater's table order (numeric address,
// then port). The daemon does not use this module.
//
// Only what the report carries is shown. Ages are measured on this
// machine's clock from the repeater's local times, read in this process's
// time zone: run it in the repeater's zone (TZ), and on a clock that agrees
// with the repeater's.
#ifndef TOLVEK_STATS_TABLE_H_
#define TOLVEK_STATS_TABLE_H_

#include <ctime>
#include <string>
#include <vector>

#include "stats/metrics.h"

// The text told instead of a table while the repeater's report is still
// empty ("{}"): it is first built 2 s into a stream.
extern const char TABLE_WAITING[];

// Formats the JSON report, as repeater (named as the user gave it) sent it,
// at now, with the repeater's status (null: it gave none, and the head says
// so). False, with the reason in error, when report_read refuses the text.
// Text from the report is shown with anything but printable ASCII replaced
// by '?', so a forged reply cannot steer the terminal.
bool table_from_report(const std::string& json, const Status* status, const std::string& repeater, time_t now,
                       std::string& out, std::string& error);

// Whether a report is still the empty one ("{}") of a repeater that has
// not had its stream for 2 s yet.
bool table_waiting(const Report& report);

// The head's lines after the first, as heading and text: input, then, unless
// the report is still empty, stream, received, lost and clients.
std::vector<std::pair<std::string, std::string>> table_head(const Report& report, const Status* status);

// The line of the head about the repeater's input, without its heading:
// "UDP port 5000 from 127.0.0.1:7000, 0 failovers, last datagram 0.2 s ago".
std::string table_input(const Status& status);

// A client's cells as the table shows them, in the order of its columns:
// CLIENT, SENDER ID, SENT, LAST CONTACT, UP.
std::vector<std::string> table_client_cells(const std::map<std::string, ReportValue>& client, time_t now);

#endif  // TOLVEK_STATS_TABLE_H_
