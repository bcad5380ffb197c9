#include <cstdio>
#include <cstring>
#include <fstream>

#include "fixture.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Config : public TolvekTest {
 protected:
  // Parses one line and returns what it wrote to standard error.
  static std::string complaint(const std::string& line) {
    CaptureStderr();
    parse(line);
    return GetCapturedStderr();
  }
};

TEST_F(Config, KeywordsMatchAsPrefixesInTableOrder) {
  parse("legacyfoo\n");
  EXPECT_EQ(settings.accept_qmz, 1u);

  // "client" swallows the letter that follows it into the address text.
  EXPECT_EQ(complaint("clients 10.0.0.7:6000\n"), "tolvek: invalid IP address s 10.0.0.7");
  EXPECT_TRUE(clients.empty());

  // "allow_ip_port" is tested before "allow_ip".
  parse("allow_ip_port 10.0.0.8:6000\n");
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].flags, F_ALLOWED);
  EXPECT_TRUE(settings.ips.empty());

  parse("allow_ip 10.0.0.9\n");
  ASSERT_EQ(settings.ips.size(), 1u);
  EXPECT_EQ(settings.ips[0].s_addr, ip("10.0.0.9"));
  EXPECT_EQ(settings.ips[0].mask, 0xffffffffu);

  EXPECT_EQ(complaint("   input_port 5000\n"), "tolvek: I don't understand the config line    input_port 5000\n");
  EXPECT_EQ(settings.input_port, -1);
  EXPECT_EQ(complaint("# input_port 5000\n"), "");
  EXPECT_EQ(complaint("\n"), "");
  EXPECT_EQ(complaint("\r\n"), "tolvek: I don't understand the config line \r\n");
  EXPECT_EQ(complaint("bogus"), "tolvek: I don't understand the config line bogus\n");
}

// Keywords match as prefixes in table order: one placed after a shorter
// keyword that begins it would never be reached ("client_timeout" after
// "client" would read as a client line).
TEST_F(Config, NoKeywordIsShadowedByOneTriedBeforeIt) {
  size_t n = 0;
  const ConfigKeyword* k = config_keywords(n);
  ASSERT_GE(n, 15u);
  for (size_t i = 0; i < n; i++)
    for (size_t j = i + 1; j < n; j++)
      EXPECT_NE(strncmp(k[j].keyword, k[i].keyword, strlen(k[i].keyword)), 0)
          << "\"" << k[j].keyword << "\" comes after \"" << k[i].keyword << "\"";
  EXPECT_EQ(match_keyword("allow_ip_port 10.0.0.1:5"), &k[9]);
  EXPECT_EQ(match_keyword("allow_ip 10.0.0.1"), &k[10]);
}

TEST_F(Config, NumbersTakeAnyBaseAndStoreMinusOne) {
  parse("input_port 0x1388\n");
  EXPECT_EQ(settings.input_port, 5000);
  parse("input_port 010\n");
  EXPECT_EQ(settings.input_port, 8);
  parse("input_port abc\n");
  EXPECT_EQ(settings.input_port, 0);
  parse("output_port\n");
  EXPECT_EQ(settings.output_port, 0);
  parse("statistics_port -1\n");
  EXPECT_EQ(settings.statistics_port, -1);
  parse("alt_input_port 6000\r\n");
  EXPECT_EQ(settings.alt_input_port, 6000);
  parse("max_clients 2\n");
  EXPECT_EQ(max_n_clients, 2u);
}

// The same file means the same on every target: a 32-bit device neither
// cuts a value past 32 bits nor turns 4294967295 into -1.
TEST_F(Config, NumbersKeepTheirSixtyFourBitValueOnEveryTarget) {
  parse("input_port 4294967295\n");
  EXPECT_EQ(settings.input_port, INT64_C(4294967295));
  parse("input_port 0xffffffff\n");
  EXPECT_EQ(settings.input_port, INT64_C(4294967295));
  parse("statistics_port 0x100001388\n");
  EXPECT_EQ(settings.statistics_port, INT64_C(0x100001388));
  parse("output_port 0xffffffffffffffff\n");
  EXPECT_EQ(settings.output_port, -1);
  parse("alt_input_port 99999999999999999999\n");  // out of range: all ones
  EXPECT_EQ(settings.alt_input_port, -1);
  parse("max_clients 0x100000002\n");
  EXPECT_EQ(max_n_clients, 2u);
}

TEST_F(Config, PasswordValuesDropOnlyOneBlankAndTheNewline) {
  parse("allow_pass secret\n");
  parse("allow_pass \n");
  parse("allow_pass  two\n");
  parse("allow_pass trail \n");
  parse("allow_pass\n");
  parse("allow_pass crlf\r\n");
  std::vector<std::string> want{"secret", "", " two", "trail ", "", "crlf\r"};
  EXPECT_EQ(settings.passwords, want);
}

TEST_F(Config, AddressParserComplaintsQuoteTheTextAsItArrived) {
  EXPECT_EQ(complaint("client 10.0.0.7\n"), "tolvek: port not specified for  10.0.0.7\n");
  EXPECT_EQ(complaint("client 10.0.0.7:"), "tolvek: port not specified for  10.0.0.7:\n");
  EXPECT_EQ(complaint("allow_ip_port 10.0.0.300:5\n"), "tolvek: invalid IP address 10.0.0.300");
  EXPECT_EQ(complaint("allow_ip nonsense\n"), "tolvek: invalid IP address nonsense\n");
  EXPECT_TRUE(clients.empty());
  EXPECT_TRUE(settings.ips.empty());
}

TEST_F(Config, PortText) {
  char text[] = " 10.0.0.1:70000rest";
  sockaddr_in sa{};
  char* end = parse_ip_port(sa, text, 1);
  ASSERT_NE(end, nullptr);
  EXPECT_STREQ(end, "rest");
  EXPECT_EQ(ntohs(sa.sin_port), 70000 % 65536);
  EXPECT_EQ(sa.sin_addr.s_addr, ip("10.0.0.1"));

  char no_digits[] = "10.0.0.1:x";
  ASSERT_NE(parse_ip_port(sa, no_digits, 1), nullptr);
  EXPECT_EQ(sa.sin_port, 0);

  char no_port[] = "10.0.0.1\n";
  EXPECT_EQ(parse_ip_port(sa, no_port, 0), nullptr);
  EXPECT_EQ(sa.sin_addr.s_addr, ip("10.0.0.1"));
}

TEST_F(Config, PermanentClients) {
  CaptureStdout();
  parse("client 10.0.0.7:6000\n");
  parse("client 10.0.0.7:6000\n");
  parse("client\t10.0.0.9:6000\n");
  parse("client 10.0.0.5:\n");
  EXPECT_EQ(GetCapturedStdout(),
            "Adding a permanent client 10.0.0.7:6000\n"
            "Adding a permanent client 10.0.0.7:6000\n"
            "Adding a permanent client 10.0.0.9:6000\n"
            "Adding a permanent client 10.0.0.5:0\n");
  ASSERT_EQ(clients.size(), 3u);
  EXPECT_EQ(n_active_clients, 3u);
  EXPECT_EQ(clients[0].sin_port, 0);
  EXPECT_EQ(clients[1].flags, F_PERMANENT | F_ENABLED);
}

TEST_F(Config, AllowedThenPermanentIsOneEntry) {
  parse("allow_ip_port 10.0.0.8:6000\n");
  EXPECT_EQ(n_active_clients, 0u);
  CaptureStdout();
  parse("client 10.0.0.8:6000\n");
  GetCapturedStdout();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].flags, F_ALLOWED | F_ENABLED | F_PERMANENT);
  EXPECT_EQ(n_active_clients, 1u);
}

TEST_F(Config, LimitAppliesToLaterAdditionsOnly) {
  CaptureStdout();
  parse("client 10.0.0.1:1\n");
  parse("client 10.0.0.2:1\n");
  parse("client 10.0.0.3:1\n");
  parse("max_clients 2\n");
  parse("client 10.0.0.1:1\n");  // known: still accepted
  GetCapturedStdout();
  EXPECT_EQ(clients.size(), 3u);
  EXPECT_EQ(complaint("client 10.0.0.4:4\n"), "tolvek: client table full, dropping config line for 10.0.0.4:4\n");
  EXPECT_EQ(complaint("allow_ip_port 10.0.0.4:4\n"), "tolvek: client table full, dropping config line for 10.0.0.4:4\n");
  EXPECT_EQ(clients.size(), 3u);
  EXPECT_EQ(n_active_clients, 3u);
}

TEST_F(Config, MacsInBothFormsAndTheEmptyOne) {
  parse("allow_mac 00-11-22-33-44-55\n");
  parse("allow_mac 00:11:22:33:44:55\n");
  parse("allow_mac 0a:0B:c:d:e:ff trailing\n");
  ASSERT_EQ(settings.macs.size(), 3u);
  EXPECT_EQ(settings.macs[0], settings.macs[1]);
  EXPECT_EQ(settings.macs[0], (Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(settings.macs[2], (Mac{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0xff}));
  EXPECT_EQ(settings.accept_any_mac, 0);
  parse("allow_mac \n");
  EXPECT_EQ(settings.accept_any_mac, 1);
}

TEST_F(Config, SourceRecords) {
  parse("source 239.1.1.1:5000 secret pw\n");
  ASSERT_TRUE(settings.source);
  EXPECT_EQ(settings.source->a.sin_addr.s_addr, ip("239.1.1.1"));
  EXPECT_EQ(ntohs(settings.source->a.sin_port), 5000);
  EXPECT_EQ(settings.source->password, "secret pw");

  parse("alt_source 10.0.0.1:5000\n");
  ASSERT_TRUE(settings.alt_source);
  EXPECT_EQ(settings.alt_source->password, "");
  parse("alt_source 10.0.0.1:6000\tpw\r\n");
  EXPECT_EQ(ntohs(settings.alt_source->a.sin_port), 6000);
  EXPECT_EQ(settings.alt_source->password, "pw\r");

  EXPECT_EQ(complaint("source 10.0.0.x:5000 other\n"),
            "tolvek: invalid IP address 10.0.0.xtolvek: the (alt_)source command has invalid IP address.\n");
  EXPECT_EQ(complaint("source 10.0.0.2\n"),
            "tolvek: port not specified for  10.0.0.2\n"
            "tolvek: the (alt_)source command has invalid IP address.\n");
  EXPECT_EQ(settings.source->password, "secret pw");
}

TEST_F(Config, ValidationDefaultsTheAlternateSource) {
  parse("input_port 5000\n");
  parse("output_port 0\n");
  parse("source 10.0.0.1:5000 pw\n");
  check_config();
  ASSERT_TRUE(settings.alt_source);
  EXPECT_EQ(settings.alt_source->password, "pw");
  set_alt_toggle_for_tests(1);
  EXPECT_EQ(current_source()->a.sin_addr.s_addr, ip("10.0.0.1"));
}

// A configuration file in a scratch folder, removed with the object.
struct ConfigFile {
  std::string path;
  explicit ConfigFile(const std::string& text) {
    char name[] = "/tmp/tolvek_config_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) close(fd);
    std::ofstream(path, std::ios::binary) << text;
  }
  ~ConfigFile() { unlink(path.c_str()); }
};

// A line too long for the buffer is skipped whole: the tail of a long
// comment must never become a line of its own (here, a client).
TEST_F(Config, OverlongLineIsSkippedWholeWithItsTail) {
  std::string comment = "#" + std::string(1100 - 22, 'x') + "client 127.0.0.1:9999";
  std::string longest = "#" + std::string(1022, 'y');  // 1023 characters: still a line
  ConfigFile file("input_port 7000\n" + comment + "\n" + longest + "\nclient 10.0.0.1:5\n");
  CaptureStderr();
  CaptureStdout();
  parse_config(file.path.c_str());
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(settings.input_port, 7000);
  EXPECT_EQ(err, "tolvek: config line 2 is longer than 1023 characters, skipped: " + comment.substr(0, 40) + "...\n");
  EXPECT_EQ(out, "Adding a permanent client 10.0.0.1:5\n");
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].s_addr, ip("10.0.0.1"));
}

// A line holding a NUL byte is not understood, whatever comes before the
// NUL; a file full of such lines draws a bounded number of complaints.
TEST_F(Config, NulLinesAndComplaintFloodsAreBounded) {
  std::string text = std::string("input_port 7000\0garbage\n", 24) + "output_port 7001\n";
  for (int i = 0; i < 30; i++) text += "bogus " + std::to_string(i) + "\n";
  text += "client 10.0.0.1:5\n";
  ConfigFile file(text);
  CaptureStderr();
  CaptureStdout();
  parse_config(file.path.c_str());
  GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(settings.input_port, -1);
  EXPECT_EQ(settings.output_port, 7001);
  EXPECT_EQ(clients.size(), 1u);
  std::string want = "tolvek: I don't understand the config line input_port 7000\\0garbage\n";
  for (int i = 0; i < 19; i++) want += "tolvek: I don't understand the config line bogus " + std::to_string(i) + "\n";
  want += "tolvek: 11 more config lines with complaints left out\n";
  EXPECT_EQ(err, want);
}

TEST_F(Config, OptionsBecomeLinesEchoedAsParsed) {
  std::string long_arg(60, '7');
  const char* args[] = {"tolvek", "-h", "-i", "5000", "-o", "5001", "-l", "-p", " ", "-m", " ",
                        "-n", "4", "-s", long_arg.c_str(), nullptr};
  optind = 0;
  CaptureStdout();
  parse_options(15, const_cast<char**>(args));
  EXPECT_EQ(GetCapturedStdout(),
            "LINE to parse: input_port 5000\n"
            "LINE to parse: output_port 5001\n"
            "LINE to parse: legacy\n"
            "LINE to parse: allow_pass  \n"
            "LINE to parse: allow_mac   \n"
            "LINE to parse: max_clients 4\n"
            "LINE to parse: statistics_port " + std::string(33, '7'));
  EXPECT_EQ(settings.input_port, 5000);
  EXPECT_EQ(settings.output_port, 5001);
  EXPECT_EQ(settings.accept_qmz, 1u);
  EXPECT_EQ(settings.passwords, std::vector<std::string>{" "});
  EXPECT_EQ(settings.accept_any_mac, 1);
  EXPECT_EQ(max_n_clients, 4u);
}

TEST_F(Config, EmptyPasswordOption) {
  const char* args[] = {"tolvek", "-p", "", "-i", "1", nullptr};
  optind = 0;
  CaptureStdout();
  parse_options(5, const_cast<char**>(args));
  GetCapturedStdout();
  EXPECT_EQ(settings.passwords, std::vector<std::string>{""});
}

using ConfigDeathTest = Config;

TEST_F(ConfigDeathTest, MalformedMacEndsWithStatusOne) {
  EXPECT_EXIT(parse("allow_mac 00:11:22\n"), testing::ExitedWithCode(1),
              "^tolvek: syntax error in config file: allow_mac 00:11:22\n$");
}

TEST_F(ConfigDeathTest, ValidationOrder) {
  EXPECT_EXIT(check_config(), testing::ExitedWithCode(255), "^tolvek: input port must be configured.\n$");
  settings_for_tests().input_port = 5000;
  EXPECT_EXIT(check_config(), testing::ExitedWithCode(255), "^tolvek: output port must be configured.\n$");
  settings_for_tests().output_port = 5001;
  parse("alt_source 10.0.0.1:5000\n");
  EXPECT_EXIT(check_config(), testing::ExitedWithCode(255), "^tolvek: you cannot specify alt source and not source\n$");
}

TEST_F(ConfigDeathTest, MissingFile) {
  EXPECT_EXIT(parse_config("/nonexistent/tolvek.conf"), testing::ExitedWithCode(255),
              "^Cannot open config file /nonexistent/tolvek.conf: No such file or directory\n$");
}

// A folder, or a device that never ends, is no configuration: a clear error
// at once, never a configuration cut short or a read without end.
TEST_F(ConfigDeathTest, UnreadableOrEndlessFiles) {
  EXPECT_EXIT(parse_config("/tmp"), testing::ExitedWithCode(255), "^Cannot read config file /tmp: Is a directory\n$");
  EXPECT_EXIT(parse_config("/dev/zero"), testing::ExitedWithCode(255),
              "^tolvek: config file /dev/zero is larger than 1048576 bytes.\n$");
  EXPECT_EXIT(parse_config("/dev/urandom"), testing::ExitedWithCode(255),
              "left out\ntolvek: config file /dev/urandom is larger than 1048576 bytes.\n$");
}

TEST_F(ConfigDeathTest, PortsThatCannotBeBoundTogether) {
  auto check = [](const std::string& lines) {
    config_reset();
    parse("input_port 5000\n");
    parse("output_port 5002\n");
    std::string text = lines;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) parse(text.substr(at, nl + 1 - at));
    check_config();
    exit_program(0);
  };
  EXPECT_EXIT(check("alt_input_port 5003\nstatistics_port 5003\n"), testing::ExitedWithCode(255),
              "^tolvek: statistics port 5003 and alternate input port 5003 are the same UDP port.\n$");
  EXPECT_EXIT(check("statistics_port 5002\n"), testing::ExitedWithCode(255),
              "^tolvek: statistics port 5002 and output port 5002 are the same UDP port.\n$");
  EXPECT_EXIT(check("statistics_port 70536\n"), testing::ExitedWithCode(255),
              "^tolvek: statistics port 70536 and input port 5000 are the same UDP port.\n$");
  EXPECT_EXIT(check("alt_input_port 70538\n"), testing::ExitedWithCode(255),
              "^tolvek: alternate input port 70538 and output port 5002 are the same UDP port.\n$");
  // Equal input, alternate input and output ports share a socket; port 0 is any port.
  EXPECT_EXIT(check("alt_input_port 5002\nstatistics_port 0\n"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(check("alt_input_port 5000\nstatistics_port 5001\n"), testing::ExitedWithCode(0), "");
}
