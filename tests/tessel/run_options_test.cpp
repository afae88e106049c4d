#include <gtest/gtest.h>

#include <cstdlib>

#include "tessel/service.h"

using tessel::svc::RunOptions;

// The length of a training day comes from the environment once; what is not
// a positive number leaves a real day.
TEST(RunOptions, DaySecondsFromTheEnvironment) {
  struct Case {
    const char* value;
    double want;
  };
  const Case cases[] = {{nullptr, 86400}, {"60", 60}, {"0.5", 0.5}, {"0", 86400}, {"-5", 86400}, {"abc", 86400}};
  for (const auto& c : cases) {
    if (c.value)
      ::setenv("TESSEL_DAY_SECONDS", c.value, 1);
    else
      ::unsetenv("TESSEL_DAY_SECONDS");
    EXPECT_EQ(RunOptions::from_env().day_seconds, c.want) << (c.value ? c.value : "(unset)");
  }
  ::unsetenv("TESSEL_DAY_SECONDS");
}

// The schema-generation interval likewise: whole positive seconds, else the
// usual three minutes.
TEST(RunOptions, SchemaSecondsFromTheEnvironment) {
  struct Case {
    const char* value;
    int want;
  };
  const Case cases[] = {{nullptr, 180}, {"5", 5}, {"0", 180}, {"-5", 180}, {"abc", 180}};
  for (const auto& c : cases) {
    if (c.value)
      ::setenv("TESSEL_SCHEMA_SECONDS", c.value, 1);
    else
      ::unsetenv("TESSEL_SCHEMA_SECONDS");
    EXPECT_EQ(RunOptions::from_env().schema_seconds, c.want) << (c.value ? c.value : "(unset)");
  }
  ::unsetenv("TESSEL_SCHEMA_SECONDS");
}
