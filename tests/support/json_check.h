// A minimal JSON checker for the statistics report: objects, arrays and
// strings, which is all the report may hold.
#ifndef TOLVEK_TESTS_JSON_CHECK_H_
#define TOLVEK_TESTS_JSON_CHECK_H_

#include <cstddef>
#include <string>

// Each returns the position after what it read, or npos.
inline size_t json_value(const std::string& s, size_t i);

inline size_t json_space(const std::string& s, size_t i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) i++;
  return i;
}

inline size_t json_string(const std::string& s, size_t i) {
  if (i >= s.size() || s[i] != '"') return std::string::npos;
  for (i++; i < s.size(); i++) {
    if (s[i] == '\\') {
      i++;
    } else if (s[i] == '"') {
      return i + 1;
    } else if (static_cast<unsigned char>(s[i]) < 0x20) {
      return std::string::npos;
    }
  }
  return std::string::npos;
}

inline size_t json_sequence(const std::string& s, size_t i, char close, bool keyed) {
  i = json_space(s, i + 1);
  if (i < s.size() && s[i] == close) return i + 1;
  for (;;) {
    if (keyed) {
      i = json_string(s, json_space(s, i));
      if (i == std::string::npos) return i;
      i = json_space(s, i);
      if (i >= s.size() || s[i] != ':') return std::string::npos;
      i++;
    }
    i = json_value(s, i);
    if (i == std::string::npos) return i;
    i = json_space(s, i);
    if (i >= s.size()) return std::string::npos;
    if (s[i] == close) return i + 1;
    if (s[i] != ',') return std::string::npos;
    i++;
  }
}

inline size_t json_value(const std::string& s, size_t i) {
  i = json_space(s, i);
  if (i >= s.size()) return std::string::npos;
  if (s[i] == '{') return json_sequence(s, i, '}', true);
  if (s[i] == '[') return json_sequence(s, i, ']', false);
  return json_string(s, i);
}

inline bool valid_json(const std::string& s) {
  size_t end = json_value(s, 0);
  return end != std::string::npos && json_space(s, end) == s.size();
}

#endif  // TOLVEK_TESTS_JSON_CHECK_H_
