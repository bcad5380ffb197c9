// Configuration lines, whole files and command lines, then validation. A
// path that ends the program ends only the input here.
#include <sys/mman.h>
#include <unistd.h>
#include <getopt.h>

#include <string>
#include <vector>

#include "fuzz_support.h"

// Lines as the file reader hands them over: up to 1023 characters, the
// newline included when it fits.
static void feed_lines(Input& in) {
  while (!in.empty()) {
    char line[1024];
    size_t n = 0;
    while (n < sizeof line - 1 && !in.empty()) {
      line[n] = static_cast<char>(in.byte());
      if (line[n++] == '\n') break;
    }
    line[n] = '\0';
    parse_line(line);
  }
}

static void feed_file(Input& in) {
  static const int fd = memfd_create("tolvek.conf", 0);
  size_t len;
  const uint8_t* text = in.bytes(in.size, len);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, len, 0) != static_cast<ssize_t>(len)) abort();
  parse_config(("/proc/self/fd/" + std::to_string(fd)).c_str());
}

// Arguments separated by NUL bytes, after the program's name.
static void feed_options(Input& in) {
  std::vector<std::string> words{"tolvek"};
  std::string word;
  while (!in.empty() && words.size() < 64) {
    char c = static_cast<char>(in.byte());
    if (c != '\0') {
      word += c;
      continue;
    }
    words.push_back(word);
    word.clear();
  }
  if (!word.empty()) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  optind = 0;  // glibc: start afresh
  parse_options(static_cast<int>(words.size()), argv.data());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_reset();
  Input in{data, size};
  bool validated = false;
  try {
    switch (in.byte() % 3) {
      case 0:
        feed_lines(in);
        break;
      case 1:
        feed_file(in);
        break;
      case 2:
        feed_options(in);
        break;
    }
    check_config();
    validated = true;
  } catch (const FuzzExit&) {
  }
  check_client_table(false);
  if (validated) {
    FUZZ_CHECK(settings.input_port >= 0 && settings.output_port >= 0);
    FUZZ_CHECK(!settings.alt_source || settings.source);
  }
  return 0;
}
