// Tests of what reads or writes the repeater's local times: a fixture that
// runs them in a fixed time zone and gives the process's own back after.
#ifndef TOLVEK_TESTS_LOCAL_TIME_H_
#define TOLVEK_TESTS_LOCAL_TIME_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

// Central European time: UTC+1, and UTC+2 from the last Sunday of March to
// the last Sunday of October (back at 03:00 summer time).
class InCentralEuropeanTime : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string saved_tz_;
};

#endif  // TOLVEK_TESTS_LOCAL_TIME_H_
