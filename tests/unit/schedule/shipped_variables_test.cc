// The variable file shipped in share/: every name in it compiles, alone and through the others.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../test_support.h"
#include "telvi/periodic.h"
#include "telvi/toe.h"

namespace {

TEST(ShippedVariables, EveryNameCompiles) {
  {
    testsupport::EnvGuard path("INTERFACE_PATH", TELVI_SOURCE_DIR "/share");
    ASSERT_EQ(periodic_init(), nullptr);
  }

  const char *names[] = {"weekdays", "weekend",  "workhours", "nighttime",    "lunchtime",       "business",
                         "offhours", "nightly",  "weekly",    "monthly",      "every_minute",    "every_5_minutes",
                         "every_15_minutes", "hourly"};
  for (const char *name : names) {
    const char *message = nullptr;
    PeriodicSchedule *schedule = periodic_parse(("$" + std::string(name)).c_str(), &message);
    EXPECT_NE(schedule, nullptr) << name << ": " << message;
    periodic_free(schedule);
  }
  const char *message = nullptr;
  PeriodicSchedule *schedule = periodic_parse("$business && !$lunchtime || $weekend && $nightly", &message);
  EXPECT_NE(schedule, nullptr) << message;
  periodic_free(schedule);
  periodic_deinit();
}

}  // namespace
