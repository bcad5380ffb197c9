#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdlib>

#include "fixture.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class LineLimits : public TolvekTest {};

// Kinds as the modules that write them declare theirs.
static LineKind data_rejected{LineSink::kStderr, "3:Request from ... rejected."};
static LineKind control_rejected{LineSink::kStderr, "2:Request from ... rejected."};
static LineKind stop_request{LineSink::kStderr, "2:Request from ... to stop streaming."};
static LineKind client_added{LineSink::kStdout, "Adding client ... on his request."};
static LineKind timed_out{LineSink::kStdout, "Client ... timed out."};
static LineKind status_report{LineSink::kSystemLog, "...:status:..."};

TEST_F(LineLimits, TenOfEachKindASecondThenOneSummaryOnItsStream) {
  CaptureStdout();
  CaptureStderr();
  for (int i = 0; i < 25; i++) limited_line(data_rejected, "3:Request from 10.0.0.%d:1 rejected.\n", i);
  for (int i = 0; i < 3; i++) limited_line(control_rejected, "2:Request from 10.0.0.%d:1 rejected.\n", i);
  for (int i = 0; i < 12; i++) limited_line(client_added, "Adding client 10.0.0.%d:1 on his request.\n", i);
  fake_mono += 0.999;
  report_left_out_lines();  // the second is not over yet
  fake_mono += 0.001;
  report_left_out_lines();
  fake_mono += 5;
  report_left_out_lines();  // nothing more to tell
  limited_line(data_rejected, "3:Request from 10.0.0.99:1 rejected.\n");
  std::string out = GetCapturedStdout(), err = GetCapturedStderr();

  std::string want_err;
  for (int i = 0; i < 10; i++) want_err += "3:Request from 10.0.0." + std::to_string(i) + ":1 rejected.\n";
  for (int i = 0; i < 3; i++) want_err += "2:Request from 10.0.0." + std::to_string(i) + ":1 rejected.\n";
  want_err += "tolvek: 15 more lines like \"3:Request from ... rejected.\" left out in the last second\n";
  want_err += "3:Request from 10.0.0.99:1 rejected.\n";
  EXPECT_EQ(err, want_err);
  std::string want_out;
  for (int i = 0; i < 10; i++) want_out += "Adding client 10.0.0." + std::to_string(i) + ":1 on his request.\n";
  want_out += "tolvek: 2 more lines like \"Adding client ... on his request.\" left out in the last second\n";
  EXPECT_EQ(out, want_out);
}

TEST_F(LineLimits, NextLineOfTheKindTellsTheSummaryFirst) {
  CaptureStdout();
  for (int i = 0; i < 11; i++) limited_line(timed_out, "Client 10.0.0.1:%d timed out.\n", i);
  fake_mono += 1.5;
  limited_line(timed_out, "Client 10.0.0.1:%d timed out.\n", 99);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Client 10.0.0.1:9 timed out.\n"
                     "tolvek: 1 more lines like \"Client ... timed out.\" left out in the last second\n"
                     "Client 10.0.0.1:99 timed out.\n"),
            std::string::npos)
      << out;
}

// Standard error on a pipe nobody reads: lines are counted, not written,
// and told once the reader catches up.
TEST_F(LineLimits, FullPipeIsNeverWaitedOn) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  char filler[512] = {};
  while (write(fds[1], filler, sizeof filler) > 0) {
  }
  fcntl(fds[1], F_SETFL, 0);  // blocking again, as the daemon's stream is
  fflush(stderr);
  int saved = dup(2);
  dup2(fds[1], 2);

  limited_line(stop_request, "2:Request from 10.0.0.1:1 to stop streaming.\n");
  fake_mono += 1;
  limited_line(stop_request, "2:Request from 10.0.0.1:2 to stop streaming.\n");
  fake_mono += 1;
  report_left_out_lines();  // still full: the count goes on
  unblocked_line(stderr, "Reception timed out.\n");
  std::string drained;
  char buf[1024];
  ssize_t n;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  while ((n = read(fds[0], buf, sizeof buf)) > 0) drained.append(buf, static_cast<size_t>(n));
  fake_mono += 1.2;
  report_left_out_lines();
  unblocked_line(stderr, "Setting up to listen at UDP port 1, socket handle: 3.\n");
  unblocked_line(stderr, "Setting up to output UDP port 2, socket handle: 4.\n");  // told once, not again

  dup2(saved, 2);
  close(saved);
  close(fds[1]);
  std::string told;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) told.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  EXPECT_EQ(drained.find_first_not_of('\0'), std::string::npos);
  EXPECT_EQ(told,
            "tolvek: 2 more lines like \"2:Request from ... to stop streaming.\" left out in the last 3 seconds\n"
            "tolvek: 1 lines left out while the output was full\n"
            "Setting up to listen at UDP port 1, socket handle: 3.\n"
            "Setting up to output UDP port 2, socket handle: 4.\n");
}

// Status reports go to the system log, limited like the other lines; a
// logger whose queue is full loses entries, and is told how many once it
// reads again, but is never waited on.
TEST_F(LineLimits, SystemLogNeverWaitsOnAFullLogger) {
  setenv("TZ", "UTC", 1);
  tzset();
  char dir[] = "/tmp/tolvek_log_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/log";
  int logger = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(logger, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  auto entries = [&] {
    std::vector<std::string> got;
    char buf[2048];
    ssize_t n;
    while ((n = recv(logger, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.emplace_back(buf, static_cast<size_t>(n));
    return got;
  };

  open_system_log("tolvek", path.c_str());
  system_log("Started Logging for %s", "tolvek");
  std::string tag = "tolvek[" + std::to_string(getpid()) + "]: ";
  EXPECT_EQ(entries(), std::vector<std::string>{"<134>Nov 14 22:13:20 " + tag + "Started Logging for tolvek"});

  const int reports = 3000;
  for (int i = 0; i < reports; i++) {
    fake_mono += 0.2;
    limited_line(status_report, "report %d", i);
  }
  std::vector<std::string> kept = entries();
  ASSERT_GT(kept.size(), 10u);
  ASSERT_LT(kept.size(), static_cast<size_t>(reports));
  EXPECT_EQ(kept[0], "<134>Nov 14 22:13:20 " + tag + "report 0");
  fake_mono += 1.5;
  report_left_out_lines();
  std::vector<std::string> told = entries();
  ASSERT_EQ(told.size(), 1u);
  std::string head = "<134>Nov 14 22:13:20 " + tag + "tolvek: " + std::to_string(reports - kept.size()) +
                     " more lines like \"...:status:...\" left out in the last ";
  // One line without its line end, as loggers take an entry.
  ASSERT_EQ(told[0].rfind(head, 0), 0u) << told[0];
  std::string seconds = told[0].substr(head.size());
  EXPECT_EQ(seconds.substr(seconds.find_first_not_of("0123456789")), " seconds") << told[0];
  close(logger);
  unlink(path.c_str());
  rmdir(dir);
}

// A private logger socket in a scratch folder, removed with the object.
struct Logger {
  std::string dir, path;
  int fd = -1;
  Logger() {
    char name[] = "/tmp/tolvek_log_XXXXXX";
    dir = mkdtemp(name);
    path = dir + "/log";
    bind_again();
  }
  void bind_again() {
    if (fd >= 0) close(fd);
    unlink(path.c_str());
    fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) abort();
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> got;
    char buf[2048];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.emplace_back(buf, static_cast<size_t>(n));
    return got;
  }
  ~Logger() {
    close(fd);
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

// However long the program's path, an entry names it and its pid as
// loggers expect, "ident[pid]: ", cutting the identifier, never the pid.
TEST_F(LineLimits, SystemLogEntryKeepsItsPidBehindALongIdentifier) {
  Logger logger;
  std::string ident = "/opt/a-long-folder/another-long-folder/build/and/deeper/still/tolvek";
  open_system_log(ident.c_str(), logger.path.c_str());
  system_log("Started Logging for %s", ident.c_str());
  std::vector<std::string> got = logger.entries();
  ASSERT_EQ(got.size(), 1u);
  std::string pid = "[" + std::to_string(getpid()) + "]: ";
  size_t tag = got[0].find(ident.substr(0, 20));
  ASSERT_NE(tag, std::string::npos) << got[0];
  EXPECT_EQ(got[0].find(pid + "Started Logging for " + ident), tag + 63 - pid.size()) << got[0];
}

// A logger that restarts (a new socket at the same path) gets the next
// entry: the writer connects again and sends it once more.
TEST_F(LineLimits, SystemLogReachesALoggerThatRestarted) {
  Logger logger;
  open_system_log("tolvek", logger.path.c_str());
  system_log("before");
  EXPECT_EQ(logger.entries().size(), 1u);
  logger.bind_again();
  limited_line(status_report, "after");
  std::vector<std::string> got = logger.entries();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("]: after"), std::string::npos) << got[0];
}

// The service manager learns that the daemon is ready from one datagram on
// the socket it names, a path or an abstract name.
TEST_F(LineLimits, ReadinessIsOneDatagramToTheNotifySocket) {
  Logger manager;
  setenv("NOTIFY_SOCKET", manager.path.c_str(), 1);
  notify_ready();
  EXPECT_EQ(manager.entries(), std::vector<std::string>{"READY=1"});

  std::string abstract = "tolvek-notify-test-" + std::to_string(getpid());
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path + 1, abstract.data(), abstract.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), static_cast<socklen_t>(sizeof(sa_family_t) + 1 + abstract.size())), 0);
  setenv("NOTIFY_SOCKET", ("@" + abstract).c_str(), 1);
  notify_ready();
  char buf[64];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "READY=1");
  close(fd);
  unsetenv("NOTIFY_SOCKET");
  notify_ready();  // no manager: nothing happens
}

// Standard error as the journal's stream (JOURNAL_STREAM names it): every
// line carries its priority once, at its start; standard output elsewhere
// keeps its bytes.
TEST_F(LineLimits, JournalLinesCarryTheirPriority) {
  int err_pipe[2], out_pipe[2];
  ASSERT_EQ(pipe(err_pipe), 0);
  ASSERT_EQ(pipe(out_pipe), 0);
  fflush(stdout);
  fflush(stderr);
  int saved_out = dup(1), saved_err = dup(2);
  dup2(err_pipe[1], 2);
  dup2(out_pipe[1], 1);
  struct stat st;
  fstat(2, &st);
  setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
  detect_journal_streams();

  unblocked_line(stderr, "tolvek: invalid IP address s 10.0.0.7\n");
  unblocked_line(stderr, "tolvek: the (alt_)source command has invalid IP address.\n");
  limited_line(data_rejected, "3:Request from %s:%u rejected.\n", "10.0.0.9", 4000u);
  error_line("Cannot open config file %s: %s\n", "x", "No such file or directory");
  unblocked_line(stdout, "Setting up to listen at UDP port 5000, socket handle: 3.\n");
  fflush(stdout);

  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  close(err_pipe[1]);
  close(out_pipe[1]);
  unsetenv("JOURNAL_STREAM");
  detect_journal_streams();
  auto slurp = [](int fd) {
    std::string text;
    char buf[1024];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
  };
  EXPECT_EQ(slurp(err_pipe[0]),
            "<4>tolvek: invalid IP address s 10.0.0.7\n<4>tolvek: the (alt_)source command has invalid IP address.\n"
            "<4>3:Request from 10.0.0.9:4000 rejected.\n"
            "<3>Cannot open config file x: No such file or directory\n");
  EXPECT_EQ(slurp(out_pipe[0]), "Setting up to listen at UDP port 5000, socket handle: 3.\n");
}

using LineLimitsDeathTest = LineLimits;

TEST_F(LineLimitsDeathTest, FatalLinesGoToTheJournalAsErrors) {
  EXPECT_EXIT(
      {
        struct stat st;
        fstat(2, &st);
        setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        detect_journal_streams();
        unblocked_line(stderr, "tolvek: I don't understand the config line x\n");
        fatal_errno("cannot bind the socket at port %u: ", 5000u);
      },
      testing::ExitedWithCode(255),
      "^<4>tolvek: I don't understand the config line x\n<3>tolvek: cannot bind the socket at port 5000: ");
}
