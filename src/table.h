// The statistics report as a table for people at a terminal, for
// tolvek-stats: a block of the stream's figures, then one row per client in
// the report's order, which is the repeater's table order (numeric address,
// then port). The daemon does not use this module.
//
// Only what the report carries is shown. Ages are measured on this
// machine's clock from the repeater's local times, read in this process's
// time zone: run it in the repeater's zone (TZ), and on a clock that agrees
// with the repeater's.
#ifndef TOLVEK_TABLE_H_
#define TOLVEK_TABLE_H_

#include <ctime>
#include <string>

// The text told instead of a table while the repeater's report is still
// empty ("{}"): it is first built 2 s into a stream.
extern const char TABLE_WAITING[];

// Formats the JSON report, as repeater (named as the user gave it) sent it,
// at now. False, with the reason in error, when report_read refuses the
// text. Text from the report is shown with anything but printable ASCII
// replaced by '?', so a forged reply cannot steer the terminal.
bool table_from_report(const std::string& json, const std::string& repeater, time_t now, std::string& out,
                       std::string& error);

#endif  // TOLVEK_TABLE_H_
