// A real RTP audio stream from GStreamer through the repeater, played by two
// GStreamer receivers: one a permanent client, one behind tolvek-join.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "harness.h"

namespace {

// 250 packets of 20 ms: 5 s of 16 kHz mono, 16-bit. The first sequence
// number is chosen so the stream wraps around 65535 on the way.
constexpr int kPackets = 250;
constexpr int kRate = 16000;
constexpr int kSamplesPerPacket = 320;
constexpr unsigned kFirstSeqno = 65500;
const char kCaps[] = "application/x-rtp,media=audio,clock-rate=16000,encoding-name=L16,channels=1,payload=96";

bool on_path(const std::string& program) {
  std::stringstream path(getenv("PATH") ? getenv("PATH") : "");
  for (std::string dir; std::getline(path, dir, ':');)
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

std::string slurp(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// RTP packets as rtpstreampay frames them: a 2-byte big-endian length each.
std::vector<Bytes> rtp_packets(const std::string& file) {
  std::string s = slurp(file);
  std::vector<Bytes> packets;
  for (size_t at = 0; at + 2 <= s.size();) {
    size_t n = static_cast<uint8_t>(s[at]) << 8 | static_cast<uint8_t>(s[at + 1]);
    if (at + 2 + n > s.size()) break;
    packets.emplace_back(s.begin() + static_cast<long>(at + 2), s.begin() + static_cast<long>(at + 2 + n));
    at += 2 + n;
  }
  return packets;
}

unsigned seqno(const Bytes& p) { return p.size() < 4 ? 0 : p[2] << 8 | p[3]; }

struct Wav {
  unsigned rate = 0, channels = 0, bits = 0;
  std::string samples;
  double seconds() const { return rate && channels && bits ? samples.size() / (rate * channels * bits / 8.0) : 0; }
};

uint32_t le(const std::string& s, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

Wav read_wav(const std::string& file) {
  std::string s = slurp(file);
  Wav w;
  if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) return w;
  for (size_t at = 12; at + 8 <= s.size();) {
    std::string id = s.substr(at, 4);
    size_t n = le(s, at + 4, 4);
    if (at + 8 + n > s.size()) break;
    if (id == "fmt " && n >= 16) {
      w.channels = le(s, at + 10, 2);
      w.rate = le(s, at + 12, 4);
      w.bits = le(s, at + 22, 2);
    }
    if (id == "data") w.samples = s.substr(at + 8, n);
    at += 8 + n + (n & 1);
  }
  return w;
}

// gst-launch-1.0 with a pipeline written as on a command line: it takes
// one argument per word.
Daemon gst_launch(const std::string& pipeline) {
  std::vector<std::string> argv{"gst-launch-1.0", "-e"};
  std::stringstream words(pipeline);
  for (std::string w; words >> w;) argv.push_back(w);
  return Daemon::run(argv);
}

// A receiver that depayloads and decodes to a WAV file, keeping the RTP
// packets as they arrived beside it; it ends by itself after kPackets.
Daemon receiver(uint16_t port) {
  return gst_launch("udpsrc port=" + std::to_string(port) + " num-buffers=" + std::to_string(kPackets) +
                             " caps=" + kCaps + " ! tee name=t "
                             "t. ! queue ! rtpjitterbuffer ! rtpL16depay ! audioconvert ! "
                             "audio/x-raw,format=S16LE ! wavenc ! filesink location=got.wav "
                             "t. ! queue ! rtpstreampay ! filesink location=got.rtp");
}

// The source: a live sine, kept as sent (before payloading and as RTP).
Daemon sender(uint16_t to_port) {
  return gst_launch("audiotestsrc is-live=true wave=sine num-buffers=" + std::to_string(kPackets) +
                             " samplesperbuffer=" + std::to_string(kSamplesPerPacket) +
                             " ! audio/x-raw,format=S16LE,rate=" + std::to_string(kRate) +
                             ",channels=1 ! tee name=a "
                             "a. ! queue ! wavenc ! filesink location=sent.wav "
                             "a. ! queue ! audioconvert ! rtpL16pay seqnum-offset=" + std::to_string(kFirstSeqno) +
                             " ! tee name=r "
                             "r. ! queue ! udpsink host=127.0.0.1 port=" + std::to_string(to_port) + " "
                             "r. ! queue ! rtpstreampay ! filesink location=sent.rtp");
}

// The client object of the report for port, or "".
std::string client_object(const std::string& report, uint16_t port) {
  size_t at = report.find("\"port\":\"" + std::to_string(port) + "\"");
  if (at == std::string::npos) return "";
  size_t open = report.rfind('{', at);
  return report.substr(open, report.find('}', at) - open + 1);
}

}  // namespace

TEST(RealStream, GStreamerThroughTheRepeaterToAClientAndThroughTolvekJoin) {
  if (!on_path("gst-launch-1.0")) GTEST_SKIP() << "needs gstreamer1.0-tools (bash scripts/deps installs it)";
  uint16_t in_port = free_port(), out_port = free_port(), stats_port = free_port();
  uint16_t direct_port = free_port(), joined_port = free_port(), join_port = free_port();
  Daemon repeater = Daemon::with_config(ports_config(in_port, out_port) + "statistics_port " +
                                        std::to_string(stats_port) + "\nclient " + endpoint(direct_port) +
                                        "\nallow_mac 02:00:5e:10:20:30\nallow_pass secret\n");
  // tolvek-join registers at once: a registration that comes before the
  // repeater has its output socket is lost until the next interval.
  ASSERT_TRUE(repeater.wait_out("Setting up to output UDP port")) << repeater.out() << repeater.err();
  Daemon direct = receiver(direct_port), joined = receiver(joined_port);
  Daemon join = Daemon::run({TOLVEK_JOIN_BINARY, endpoint(out_port), "--forward", endpoint(joined_port), "--port", std::to_string(join_port), "--mac",
                             "02:00:5e:10:20:30", "--password", "secret"});
  ASSERT_TRUE(repeater.wait_out("Adding client " + endpoint(join_port) + " on his request.\n"))
      << repeater.out() << repeater.err() << join.err();
  // A live receiver has its socket once it goes to PLAYING.
  ASSERT_TRUE(direct.wait_out("Setting pipeline to PLAYING", 20.0)) << direct.out() << direct.err();
  ASSERT_TRUE(joined.wait_out("Setting pipeline to PLAYING", 20.0)) << joined.out() << joined.err();

  Daemon source = sender(in_port);
  ASSERT_EQ(source.wait_exit(30.0), 0) << source.out() << source.err();
  for (Daemon* r : {&direct, &joined}) {
    if (r->wait_exit(10.0) == -1) {
      kill(r->pid, SIGINT);  // a packet short: let it write what it has
      r->wait_exit(5.0);
      ADD_FAILURE() << "a receiver did not get all " << kPackets << " packets";
    }
  }

  std::vector<Bytes> sent = rtp_packets(source.dir + "/sent.rtp");
  Wav original = read_wav(source.dir + "/sent.wav");
  ASSERT_EQ(sent.size(), static_cast<size_t>(kPackets));
  ASSERT_EQ(original.samples.size(), static_cast<size_t>(kPackets * kSamplesPerPacket * 2));
  size_t sent_bytes = 0;
  for (const Bytes& p : sent) sent_bytes += p.size();

  for (Daemon* r : {&direct, &joined}) {
    const char* who = r == &direct ? "permanent client" : "through tolvek-join";
    std::vector<Bytes> got = rtp_packets(r->dir + "/got.rtp");
    unsigned missing = 0;
    for (size_t i = 1; i < got.size(); i++) missing += (seqno(got[i]) - seqno(got[i - 1]) - 1) & 0xffff;
    EXPECT_EQ(got, sent) << who;
    EXPECT_EQ(missing, 0u) << who;
    ASSERT_FALSE(got.empty()) << who;
    Wav decoded = read_wav(r->dir + "/got.wav");
    EXPECT_EQ(decoded.rate, static_cast<unsigned>(kRate)) << who;
    EXPECT_EQ(decoded.seconds(), 5.0) << who;
    EXPECT_TRUE(decoded.samples == original.samples) << who;
    printf("%s: %zu RTP packets, sequence numbers %u to %u, %u missing; decoded %.3f s, %s the sent audio\n", who,
           got.size(), seqno(got.front()), seqno(got.back()), missing, decoded.seconds(),
           decoded.samples == original.samples ? "identical to" : "different from");
  }

  // Counters reach the report when it is rebuilt, which a request does once
  // the stream has been idle for 2 s.
  std::string report;
  for (double end = now_seconds() + 8; now_seconds() < end; usleep(300000)) {
    Daemon stats = Daemon::run({TOLVEK_STATS_BINARY, endpoint(stats_port)});
    ASSERT_EQ(stats.wait_exit(), 0) << stats.err();
    report = stats.out();
    if (report_field(report, "frames_received") == std::to_string(kPackets)) break;
  }
  printf("tolvek-stats: %s", report.c_str());
  EXPECT_EQ(report_field(report, "frames_received"), std::to_string(kPackets)) << report;
  EXPECT_EQ(report_field(report, "frames_lost"), "0");
  EXPECT_EQ(report_field(report, "total_bytes"), std::to_string(sent_bytes));
  EXPECT_EQ(report_field(report, "connected_clients"), "2");
  EXPECT_EQ(report_field(client_object(report, direct_port), "pkts_sent"), std::to_string(kPackets));
  EXPECT_EQ(report_field(client_object(report, join_port), "pkts_sent"), std::to_string(kPackets));
  EXPECT_EQ(report_field(client_object(report, join_port), "mac"), "02005e102030");

  EXPECT_EQ(count_of(repeater.err(), "rejected"), 0) << repeater.err();
  std::string join_lines = "tolvek-join: registering with " + endpoint(out_port) + " from port " +
                           std::to_string(join_port) + ", forwarding to " + endpoint(joined_port) +
                           "\ntolvek-join: sender id 02:00:5e:10:20:30, from --mac\ntolvek-join: stream started\n";
  EXPECT_EQ(join.out().rfind(join_lines, 0), 0u) << join.out();
  EXPECT_EQ(join.err(), "");
  kill(join.pid, SIGTERM);
  EXPECT_EQ(join.wait_exit(), 0);
  EXPECT_TRUE(repeater.wait_err("2:Request from " + endpoint(join_port) + " to stop streaming.\n"));
}
