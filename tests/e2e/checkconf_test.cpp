// tolvek-checkconf on files with each trap the manual page lists, and on
// files the daemon would refuse.
#include <gtest/gtest.h>

#include <fstream>

#include "harness.h"

namespace {

struct Checked {
  int status;
  std::string out, err;
};

Checked check(const std::string& text, const std::vector<std::string>& options = {}) {
  Daemon scratch = Daemon::run({"true"});  // for its scratch folder, removed with it
  scratch.wait_exit();
  std::string path = scratch.dir + "/trap.conf";
  std::ofstream(path, std::ios::binary) << text;
  std::vector<std::string> argv{TOLVEK_CHECKCONF_BINARY};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(path);
  Daemon d = Daemon::run(argv);
  int status = d.wait_exit(10.0);
  std::string err = d.err();
  // Line by line without the scratch folder's name.
  for (size_t at; (at = err.find(path)) != std::string::npos;) err.replace(at, path.size(), "F");
  std::string out = d.out();
  for (size_t at; (at = out.find(path)) != std::string::npos;) out.replace(at, path.size(), "F");
  return {status, out, err};
}

const char kPorts[] = "input_port 5000\noutput_port 5002\n";

}  // namespace

TEST(CheckConf, EveryTrapIsAWarningWithItsLine) {
  std::string text = std::string(kPorts) +
                     "clients 127.0.0.1:5004\n"
                     " statistics_port 5003\n"
                     "inptu_port 6000\n"
                     "allow_password secret\n"
                     "allow_pass studio   # for the studio\n"
                     "source 10.0.0.1:6002 chain\r\n"
                     "legacy_mode off\n"
                     "# " + std::string(1100, 'x') + "client 127.0.0.1:9999\n"
                     "output_port\n";
  Checked c = check(text);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.err,
            "F:3: warning: \"clients\" is read as the keyword \"client\" followed by \"s 127.0.0.1:5004\"\n"
            "F:3: warning: invalid IP address s 127.0.0.1\n"
            "F:4: warning: the line starts with a blank, so it matches no keyword\n"
            "F:4: warning: I don't understand the config line  statistics_port 5003\n"
            "F:5: warning: I don't understand the config line inptu_port 6000\n"
            "F:6: warning: \"allow_password\" is read as the keyword \"allow_pass\" followed by \"word secret\"\n"
            "F:7: warning: \"#\" starts a comment only at the start of a line: \"# for the studio\" is part of the "
            "password\n"
            "F:8: warning: the line ends in a carriage return (CR-LF line ends): it stays part of a password or value\n"
            "F:9: warning: \"legacy_mode off\" is read as the keyword \"legacy\": legacy mode is on\n"
            "F:10: warning: config line 10 is longer than 1023 characters, skipped: # " + std::string(38, 'x') +
                "...\n"
            "F:11: warning: \"output_port\" has no number after it, so it reads as 0\n");
  EXPECT_EQ(c.out, "tolvek-checkconf: F: 0 errors, 11 warnings\n");
  EXPECT_EQ(check(text, {"--strict"}).status, 1);
  Checked clean = check(std::string(kPorts) + "client 127.0.0.1:5004\nallow_pass secret\n", {"--strict"});
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.err, "");
  // The last line, without its newline, keeps its number too.
  EXPECT_EQ(check(std::string(kPorts) + "foo bar").err, "F:3: warning: I don't understand the config line foo bar\n");
}

TEST(CheckConf, WhatKeepsTheDaemonFromStartingIsAnError) {
  Checked clash = check(std::string(kPorts) + "statistics_port 5002\n");
  EXPECT_EQ(clash.status, 2);
  EXPECT_EQ(clash.err, "F: error: statistics port 5002 and output port 5002 are the same UDP port.\n");
  Checked mac = check(std::string(kPorts) + "bogus\nallow_mac 00:11:22\n");
  EXPECT_EQ(mac.status, 2);
  EXPECT_EQ(mac.err,
            "F:3: warning: I don't understand the config line bogus\n"
            "F:4: error: syntax error in config file: allow_mac 00:11:22\n");
  EXPECT_EQ(check("output_port 5002\n").err, "F: error: input port must be configured.\n");
  EXPECT_EQ(Daemon::run({TOLVEK_CHECKCONF_BINARY}).wait_exit(), 2);
  Daemon missing = Daemon::run({TOLVEK_CHECKCONF_BINARY, "/nonexistent/x.conf"});
  EXPECT_EQ(missing.wait_exit(), 2);
  EXPECT_EQ(missing.err(), "/nonexistent/x.conf: error: Cannot open config file /nonexistent/x.conf: No such file or directory\n");
}

// Typos that change what runs, each after the two port lines, with what is
// said of them; --strict, so that a warning shows in the status too.
TEST(CheckConf, TyposThatChangeWhatRunsAreErrors) {
  const std::string never_relayed =
      " is the output port: every datagram on it is taken as a control packet, so the stream would never be relayed\n";
  struct Case {
    std::string lines;
    int status;
    std::string err;
  } cases[] = {
      {"input_port 72OO\n", 2, "F:3: error: \"72OO\" is not a number: input_port reads it as 72\n"},
      {"input_port 70000\n", 2, "F:3: error: input_port 70000 is outside 1 to 65535: the daemon would bind UDP port 4464\n"},
      {"input_port 05000\n", 1, "F:3: warning: input_port 05000 starts with 0, so it is read as octal: 2560\n"},
      {"max_clients 1O\n", 2, "F:3: error: \"1O\" is not a number: max_clients reads it as 1\n"},
      {"source localhost:41000 pw\n", 2,
       "F:3: error: source address \"localhost\" is not a dotted decimal IPv4 address\n"
       "F:3: warning: invalid IP address localhost\n"
       "F:3: warning: the (alt_)source command has invalid IP address.\n"},
      {"alt_source 127.1:41OOO pw\n", 2,
       "F:3: error: alt_source address \"127.1\" is not a dotted decimal IPv4 address\n"
       "F:3: error: alt_source port \"41OOO\" is not a number from 0 to 65535\n"
       "F: error: you cannot specify alt source and not source\n"},
      {"input_port 5002\n", 2, "F: error: input port 5002" + never_relayed},
      {"alt_input_port 0x138a\n", 2, "F: error: alternate input port 5002" + never_relayed},
      {"input_port 0\noutput_port 0\n", 2, "F: error: input port 0" + never_relayed},
      // Signs: -1 is "none" for statistics, anything else negative wraps.
      {"statistics_port -1\ninput_port +5000\nalt_input_port -1\n", 0, ""},
      {"input_port +05000\n", 1, "F:3: warning: input_port +05000 starts with 0, so it is read as octal: 2560\n"},
      {"statistics_port -2\n", 2,
       "F:3: error: statistics_port -2 is outside 1 to 65535: the daemon would bind UDP port 65534\n"},
      {"output_port -\n", 2, "F:3: error: \"-\" is not a number: output_port reads it as 0\n"},
      // Port 0, a port the system picks, and text after the number that is
      // not the number's own.
      {"output_port 0\nsource 127.0.0.1:0\n", 0, ""},
      {"alt_input_port 0\n", 0, ""},
      {"statistics_port 0\n", 1,
       "F:3: warning: statistics_port 0 binds a UDP port the system picks, which no request can find (-1 is none)\n"},
      {"input_port 5000   # the studio\n", 1, "F:3: warning: \"# the studio\" after input_port 5000 is ignored\n"},
      // Echoed control characters are escaped; a UTF-8 letter is not.
      {"bogus\x1b[2J\x9b\xc2\x9b\x7f\tcaf\xc3\xa9\n", 1,
       "F:3: warning: I don't understand the config line bogus\\x1b[2J\\x9b\\xc2\\x9b\\x7f\\tcaf\xc3\xa9\n"},
  };
  for (const Case& c : cases) {
    Checked got = check(kPorts + c.lines, {"--strict"});
    EXPECT_EQ(got.status, c.status) << c.lines;
    EXPECT_EQ(got.err, c.err) << c.lines;
  }
}
