// The live status page that tolvek-stats --listen serves at "/": one HTML
// document with its style and script inline and nothing fetched but
// /status.json, which it reads every 2 s.
#ifndef TOLVEK_STATS_STATUS_PAGE_H_
#define TOLVEK_STATS_STATUS_PAGE_H_

extern const char STATUS_PAGE[];

#endif  // TOLVEK_STATS_STATUS_PAGE_H_
