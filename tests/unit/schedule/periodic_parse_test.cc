// The schedule compiler: which texts compile to which tree (shown with periodic_dump), which are
// refused with which message (context and variable suffixes included), variables from the
// variable file, and the lifetime of the message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "periodic_oracle.h"
#include "telvi/id.h"
#include "telvi/periodic.h"

namespace {

struct Case {
  const char *text;
  const char *expected;  // the dump of an accepted text, the full message of a refused one
};

// The dump of the compiled text, or "error: " and the message. A success must leave "" as message.
std::string compile(const std::string &text) {
  const char *message = "unset";
  PeriodicSchedule *schedule = periodic_parse(text.c_str(), &message);
  if (schedule == nullptr) return std::string("error: ") + (message != nullptr ? message : "<null>");
  EXPECT_STREQ(message, "") << "schedule: " << text;
  EXPECT_EQ(periodic_get_error(schedule), nullptr);
  char *dump = periodic_dump(schedule);
  std::string result = dump != nullptr ? dump : "<no dump>";
  std::free(dump);
  periodic_free(schedule);
  return result;
}

void expectTrees(const std::vector<Case> &cases) {
  for (const Case &c : cases) EXPECT_EQ(compile(c.text), c.expected) << "schedule: " << c.text;
}

void expectErrors(const std::vector<Case> &cases) {
  for (const Case &c : cases)
    EXPECT_EQ(compile(c.text), std::string("error: ") + c.expected) << "schedule: " << c.text;
}

// Whether the text is refused (then with a message). A text that compiles must also dump: some
// texts' fate is left open by the rules, and either way they must not bring the process down.
bool fails(const std::string &text) {
  const char *message = nullptr;
  PeriodicSchedule *schedule = periodic_parse(text.c_str(), &message);
  if (schedule == nullptr) {
    EXPECT_TRUE(message != nullptr && *message != '\0') << "schedule: " << text;
    return true;
  }
  char *dump = periodic_dump(schedule);
  EXPECT_NE(dump, nullptr);
  std::free(dump);
  periodic_free(schedule);
  return false;
}

// Dates are local times: every test runs in a known zone and puts the caller's zone back.
class PeriodicParse : public ::testing::Test {
 protected:
  std::optional<oracle::ZoneGuard> zone{std::in_place, "UTC"};
  void setZone(const char *name) { zone.emplace(name); }
};

// The five cron fields: and(and(and(minute,hour),month),D) with D chosen from the two day fields.
TEST_F(PeriodicParse, CronForms) {
  expectTrees({
      {"0 12 * * 1-5", "and(and(and(minute=0,hour=12),month=*),and-range(day_of_week>=1,!day_of_week>=6))"},
      {"cron(0 12 * * 1-5)", "and(and(and(minute=0,hour=12),month=*),and-range(day_of_week>=1,!day_of_week>=6))"},
      {"CRON ( 0 12 * * 1-5 )", "and(and(and(minute=0,hour=12),month=*),and-range(day_of_week>=1,!day_of_week>=6))"},
      {"* * * * *", "and(and(and(minute=*,hour=*),month=*),day_of_month=*)"},  // both days "*"
      {"0 12 1 * *", "and(and(and(minute=0,hour=12),month=*),day_of_month=1)"},
      {"0 12 * * mon", "and(and(and(minute=0,hour=12),month=*),day_of_week=1)"},
      {"0 12 1 * mon", "and(and(and(minute=0,hour=12),month=*),or(day_of_month=1,day_of_week=1))"},
      {"0,30 8-17 * * mon-fri",
       "and(and(and(or(minute=0,minute=30),and-range(hour>=8,!hour>=18)),month=*),"
       "and-range(day_of_week>=1,!day_of_week>=6))"},
      {"0 22-2 * * sun", "and(and(and(minute=0,or-range(hour>=22,!hour>=3)),month=*),day_of_week=0)"},
      {"0 9 am-5 pm 1 * *", "and(and(and(minute=0,and-range(hour>=9,!hour>=18)),month=*),day_of_month=1)"},
      {"0 0 1 jan-mar sun",
       "and(and(and(minute=0,hour=0),and-range(month>=1,!month>=4)),or(day_of_month=1,day_of_week=0))"},
      {"0 0 * nov-feb 7", "and(and(and(minute=0,hour=0),or-range(month>=11,!month>=3)),day_of_week=0)"},
      {"cron(0,15,30 * 1 * *)",
       "and(and(and(or(or(minute=0,minute=15),minute=30),hour=*),month=*),day_of_month=1)"},
  });
  EXPECT_EQ(compile("cron(0,15,30,45 * * * *)").rfind("and(", 0), 0u);
}

TEST_F(PeriodicParse, Cycles) {
  expectTrees({
      {"300", "cycle(300)"},
      {"30 minutes", "cycle(1800)"},
      {"1.5 h", "cycle(5400)"},
      {"5min", "cycle(300)"},
      {".5 min", "cycle(30)"},
      {"2.5 s", "cycle(2)"},  // the fraction of the unit is rounded to even
      {"0.6 s", "cycle(1)"},
      {"2 w", "cycle(1209600)"},     {"1 week", "cycle(604800)"},  {"1 weeks", "cycle(604800)"},
      {"1 wk", "cycle(604800)"},     {"1 wks", "cycle(604800)"},   {"1 d", "cycle(86400)"},
      {"1 day", "cycle(86400)"},     {"2 days", "cycle(172800)"},  {"1 h", "cycle(3600)"},
      {"1 hours", "cycle(3600)"},    {"1 hr", "cycle(3600)"},      {"1 hrs", "cycle(3600)"},
      {"1 hour", "cycle(3600)"},     {"1 m", "cycle(60)"},         {"1 min", "cycle(60)"},
      {"1 minutes", "cycle(60)"},    {"1 minute", "cycle(60)"},    {"2 s", "cycle(2)"},
      {"2 sec", "cycle(2)"},         {"2 secs", "cycle(2)"},       {"2 seconds", "cycle(2)"},
      {"2 second", "cycle(2)"},      {"1 HR", "cycle(3600)"},
      {"cycle(300)", "cycle(300)"},
      {"cycle(5 min)", "cycle(300)"},
      {"cycle(period = 1 hour)", "cycle(3600)"},
      {"Cycle ( Period = 1 H )", "cycle(3600)"},
      {"cycle(period = 1 day, start = 1/1/2001 2:00 am)", "cycle(86400,start=978314400)"},
      {"cycle(start = 1/1/2001, period = 300)", "cycle(300,start=978307200)"},
      {"cycle(period = 2.5 min, start = epoch(1000))", "cycle(150,start=1000)"},
      {"cycle(period = 1 h, start = jan 1 2001 5 pm)", "cycle(3600,start=978368400)"},
  });
}

TEST_F(PeriodicParse, RelationsOnEveryField) {
  expectTrees({
      {"second = 0", "second=0"},
      {"minute >= 30", "minute>=30"},
      {"hour > 8", "hour>=9"},
      {"hour < 18", "!hour>=18"},
      {"hour <= 17", "!hour>=18"},
      {"hour == 8", "hour=8"},
      {"hour != 8", "!hour=8"},
      {"hour = *", "hour=*"},
      {"hour != *", "!hour=*"},
      {"hour = 5 pm", "hour=17"},
      {"hour = 12 pm", "hour=12"},
      {"hour = 12 am", "hour=0"},
      {"hour = 0 am", "hour=0"},
      {"hour = 12 noon", "hour=12"},
      {"hour = 12 midnight", "hour=0"},
      {"hour = 1 pm,3 pm", "or(hour=13,hour=15)"},
      {"HOUR = 5 PM", "hour=17"},
      {"day_of_month = 31", "day_of_month=31"},
      {"day_of_month = 25-5", "or-range(day_of_month>=25,!day_of_month>=6)"},
      {"month = dec", "month=12"},
      {"month = December", "month=12"},
      {"month = jan-mar", "and-range(month>=1,!month>=4)"},
      {"month = nov-feb", "or-range(month>=11,!month>=3)"},
      {"year = 2001-2005", "and-range(year>=2001,!year>=2006)"},
      {"year < 2038", "!year>=2038"},
      {"day_of_week = sat,sun", "or(day_of_week=6,day_of_week=0)"},
      {"day_of_week = sun,mon,tue", "or(or(day_of_week=0,day_of_week=1),day_of_week=2)"},
      {"day_of_week = wednesday,thursday", "or(day_of_week=3,day_of_week=4)"},
      {"Day_Of_Week = Sat", "day_of_week=6"},
      {"day_of_week = 7", "day_of_week=0"},
      {"day_of_week = 7-3", "and-range(day_of_week>=0,!day_of_week>=4)"},
      {"day_of_week = fri-mon", "or-range(day_of_week>=5,!day_of_week>=2)"},
      {"day_of_week != mon-fri", "or-range(!day_of_week>=1,day_of_week>=6)"},
      {"week_of_year = 0", "week_of_year=0"},
      {"week_of_year >= 53", "week_of_year>=53"},
      {"day_of_year = 366", "day_of_year=366"},
      {"day_of_year = 300-10", "or-range(day_of_year>=300,!day_of_year>=11)"},
      {"week_of_month = 1-5", "and-range(week_of_month>=1,!week_of_month>=6)"},
  });
}

// A time of day compares lexicographically on hour, minute and second, as far as it is precise.
TEST_F(PeriodicParse, TimesOfDay) {
  expectTrees({
      {"time = 9:30", "and(hour=9,minute=30)"},
      {"time = 09:30:15", "and(and(hour=9,minute=30),second=15)"},
      {"time >= 9:30", "or(hour>=10,and(hour=9,minute>=30))"},
      {"time > 9:30", "or(hour>=10,and(hour=9,minute>=31))"},
      {"time < 17:30", "or(!hour>=17,and(hour=17,!minute>=30))"},
      {"time <= 17:00", "or(!hour>=17,and(hour=17,!minute>=1))"},
      {"time != 9:30", "or(!hour=9,!minute=30)"},
      {"time >= 9:30:15", "or(or(hour>=10,and(hour=9,minute>=31)),and(and(hour=9,minute=30),second>=15))"},
      {"time = 9:00,17:00", "or(and(hour=9,minute=0),and(hour=17,minute=0))"},
      {"time = 8:30 am", "and(hour=8,minute=30)"},
      {"time = 12:15 am", "and(hour=0,minute=15)"},
      {"time = 1:05 pm", "and(hour=13,minute=5)"},
      {"time = 12:30 pm", "and(hour=12,minute=30)"},
      {"time = 12:00 noon", "and(hour=12,minute=0)"},
      {"time = 12:00 midnight", "and(hour=0,minute=0)"},
      {"time = 5 pm", "hour=17"},
      {"time >= 5 pm", "hour>=17"},
      {"time < 5 pm", "!hour>=17"},
  });
}

TEST_F(PeriodicParse, Dates) {
  expectTrees({
      {"date = epoch(978307200)", "date=978307200"},
      {"date = 1/1/2001", "and(date>=978307200,!date>=978393600)"},
      {"date = 1/1/01", "and(date>=978307200,!date>=978393600)"},
      {"date = jan 1 2001", "and(date>=978307200,!date>=978393600)"},
      {"date = January 1 01", "and(date>=978307200,!date>=978393600)"},
      {"date = 12/31/99", "and(date>=946598400,!date>=946684800)"},
      {"date = 1/1/70", "and(date>=0,!date>=86400)"},
      {"date = dec 24 2001", "and(date>=1009152000,!date>=1009238400)"},
      {"date = 1/18/2038", "and(date>=2147385600,!date>=2147472000)"},
      {"date >= 1/1/2001", "date>=978307200"},
      {"date > 1/1/2001", "date>=978307201"},
      {"date < 1/1/2001", "!date>=978307200"},
      {"date <= 1/1/2001", "!date>=978307201"},
      {"date != 1/1/2001", "or(!date>=978307200,date>=978393600)"},
      {"date = 1/1/2001 2:00 am", "and(date>=978314400,!date>=978314460)"},  // a clock: one minute
      {"date = 1/1/2001 2 am", "and(date>=978314400,!date>=978318000)"},  // an hour: one hour
      {"date = 1/1/2001 5 pm", "and(date>=978368400,!date>=978372000)"},
      {"date = 1/1/2001 14:30", "and(date>=978359400,!date>=978359460)"},
      {"date = jan 1 2001 2:30 pm", "and(date>=978359400,!date>=978359460)"},
      {"date = 1/1/2001 14:30:15", "date=978359415"},
      {"date = 1/1/2001,dec 24 2001",
       "or(and(date>=978307200,!date>=978393600),and(date>=1009152000,!date>=1009238400))"},
  });
}

TEST_F(PeriodicParse, DatesFollowTheLocalZone) {
  setZone("Europe/Berlin");
  expectTrees({
      {"date = 7/1/2001", "and(date>=993938400,!date>=994024800)"},
      {"date = 3/25/2001", "and(date>=985474800,!date>=985557600)"},  // 23 hours: clocks go forward
  });
  expectErrors({
      {"date = 3/25/2001 2:30", "invalid date: 2001/3/25 (near \"date = 3/25/2001 2:30\")"},
      {"cycle(period = 1 h, start = 3/25/2001 2:00)",
       "invalid date: 2001/3/25 (near \"cycle(period = 1 h, start = 3/25/2001 2:00)\")"},
  });
}

TEST_F(PeriodicParse, OperatorsAndBrackets) {
  expectTrees({
      {"", "second=*"},
      {"   \t\n ", "second=*"},
      {"!(month = dec && day_of_month = 25)", "or(!month=12,!day_of_month=25)"},
      {"hour >= 8 && hour < 18", "and(hour>=8,!hour>=18)"},
      {"hour = 1 || hour = 2 && hour = 3", "or(hour=1,and(hour=2,hour=3))"},
      {"hour = 1 && hour = 2 || hour = 3", "or(and(hour=1,hour=2),hour=3)"},
      {"!hour = 1 && hour = 2", "and(!hour=1,hour=2)"},
      {"(hour = 1 || hour = 2) && hour = 3", "and(or(hour=1,hour=2),hour=3)"},
      {"hour = 1 && hour = 2 && hour = 3", "and(and(hour=1,hour=2),hour=3)"},
      {"hour = 1 || hour = 2 || hour = 3", "or(or(hour=1,hour=2),hour=3)"},
      {"!!hour = 1", "hour=1"},
      {"!(hour = 1 || hour = 2)", "and(!hour=1,!hour=2)"},
      {"((hour = 1))", "hour=1"},
      {"hour=1&&minute=2||!second=3", "or(and(hour=1,minute=2),!second=3)"},
      {"hour >= 8 && hour < 18 && day_of_week = mon-fri",
       "and(and(hour>=8,!hour>=18),and-range(day_of_week>=1,!day_of_week>=6))"},
      {"time >= 8:30 am && time <= 17:00",
       "and(or(hour>=9,and(hour=8,minute>=30)),or(!hour>=17,and(hour=17,!minute>=1)))"},
      {"15 minutes && hour = 1", "and(cycle(900),hour=1)"},
      {"!5 min", "!cycle(300)"},
      {"cycle(1 h) || 0 12 1 * *",
       "or(cycle(3600),and(and(and(minute=0,hour=12),month=*),day_of_month=1))"},
  });
}

TEST_F(PeriodicParse, LexerErrors) {
  expectErrors({
      {"hour = 1 & 2", "invalid character: '&' (only allowed in &&) (near \"hour = 1 & 2\")"},
      {"hour = 1 | 2", "invalid character: '|' (only allowed in ||) (near \"hour = 1 | 2\")"},
      {"hour = .x", "invalid character: '.' (only allowed in a number) (near \"hour = .x\")"},
      {"hour = #", "invalid character: '#' (near \"hour = #\")"},
      {"hour = 1;", "invalid character: ';' (near \"hour = 1;\")"},
      {"hour = \x01", "invalid character: '\\01' (near \"hour = \x01\")"},
      {"hour = \x7f", "invalid character: '\\7F' (near \"hour = \x7f\")"},
      {"hour = \xe9", "invalid character: '\\E9' (near \"hour = \xe9\")"},
      {"month = sept", "do not recognize 'sept' (near \"month = sept\")"},
      {"day_of_week = tues", "do not recognize 'tues' (near \"day_of_week = tues\")"},
      {"day_of_week = thurs", "do not recognize 'thurs' (near \"day_of_week = thurs\")"},
      {"5 minz", "do not recognize 'minz' (near \"5 minz\")"},
      {"hour = 1 && day_of_week = tuesdy", "do not recognize 'tuesdy' (near \"... 1 && day_of_week = tuesdy\")"},
      {"month = sept && hour = 1", "do not recognize 'sept' (near \"month = sept &&...\")"},
      {"hour = 1.2.3", "found two '.'s in number (near \"hour = 1.2.3\")"},
      {"time = 9:30.5", "found ':' followed by '.' in time (near \"time = 9:30.5\")"},
      {"time = 9.5:30", "found '.' followed by ':' in number (near \"time = 9.5:30\")"},
      {"time = 1:02:03:04", "found more than two ':'s in time (near \"time = 1:02:03:04\")"},
      {"time = 123:00", "bad number of digits in first part of time (near \"time = 123:00\")"},
      {"time = 9:5", "bad number of digits in second part of time (near \"time = 9:5\")"},
      {"time = 9:300", "bad number of digits in second part of time (near \"time = 9:300\")"},
      {"time = 9:30:5", "bad number of digits in third part of time (near \"time = 9:30:5\")"},
      {"$", "variable not specified after $ character (near \"$\")"},
      {"hour = 1 || $", "variable not specified after $ character (near \"... 1 || $\")"},
      {"$1abc", "variables can not start with a digit (near \"$1abc\")"},
      {"$nosuch", "variable $nosuch not found (near \"$nosuch\")"},
      {"hour = 1 && $nosuch", "variable $nosuch not found (near \"... 1 && $nosuch\")"},
  });
}

TEST_F(PeriodicParse, ValueErrors) {
  expectErrors({
      {"hour = 1.5", "expecting integer at number 1.500000 (near \"hour = 1.5\")"},
      {"day_of_week = .25", "expecting integer at number 0.250000 (near \"day_of_week = .25\")"},
      {"0 1.5 * * *", "expecting integer at number 1.500000 (near \"0 1.5 * * *\")"},
      {"date = 1.5/1/2001", "expecting integer at number 1.500000 (near \"date = 1.5/1/2001\")"},
      {"hour = 13 pm", "hour too big: 13 (near \"hour = 13 pm\")"},
      {"hour = 0 pm", "hour can't be zero when specifying pm (near \"hour = 0 pm\")"},
      {"hour = 3 noon", "noon suffix only makes sense when hour is 12 (near \"hour = 3 noon\")"},
      {"time = 3:00 noon", "noon suffix only makes sense when hour is 12 (near \"time = 3:00 noon\")"},
      {"hour = 1 midnight", "midnight suffix only makes sense when hour is 12 (near \"hour = 1 midnight\")"},
      {"time = 11:00 midnight",
       "midnight suffix only makes sense when hour is 12 (near \"time = 11:00 midnight\")"},
      {"time = 24:00", "hour part of time is > 23 (near \"time = 24:00\")"},
      {"time = 13:00 pm", "hour part of time is > 12 with am/pm suffix (near \"time = 13:00 pm\")"},
      {"time = 9:60", "minute part of time is > 59 (near \"time = 9:60\")"},
      {"time = 9:30:60", "second part of time is > 59 (near \"time = 9:30:60\")"},
      {"date = 1/1/39", "year is out of range: 39 (should be 0-38 or 69-99) (near \"date = 1/1/39\")"},
      {"date = 1/1/68", "year is out of range: 68 (should be 0-38 or 69-99) (near \"date = 1/1/68\")"},
      {"date = 1/1/2039", "year is out of range: 2039 (should be 1969-2038) (near \"date = 1/1/2039\")"},
      {"date = 1/1/1968", "year is out of range: 1968 (should be 1969-2038) (near \"date = 1/1/1968\")"},
      {"date = 1/1/100", "year is out of range: 100 (should be 1969-2038) (near \"date = 1/1/100\")"},
      {"date = 13/1/2001", "month is out of range: 13 (should be 1-12) (near \"date = 13/1/2001\")"},
      {"date = 0/1/2001", "month is out of range: 0 (should be 1-12) (near \"date = 0/1/2001\")"},
      {"date = 1/32/2001", "day is out of range: 32 (should be 1-31) (near \"date = 1/32/2001\")"},
      {"date = jan 0 2001", "day is out of range: 0 (should be 1-31) (near \"date = jan 0 2001\")"},
      {"date = 2/30/2001", "invalid date: 2001/2/30 (near \"date = 2/30/2001\")"},
      {"date = feb 29 2001", "invalid date: 2001/2/29 (near \"date = feb 29 2001\")"},
      {"date = 4/31/2001 5 pm", "invalid date: 2001/4/31 (near \"date = 4/31/2001 5 pm\")"},
      {"date = 12/31/2038", "date too big: 2038/12/31 (near \"date = 12/31/2038\")"},
      {"date = 12/31/2038 11 pm", "date too big: 2038/12/31 (near \"date = 12/31/2038 11 pm\")"},
  });
}

TEST_F(PeriodicParse, CycleErrors) {
  expectErrors({
      {"0.5 s", "cycle can not have a period of 0 (near \"0.5 s\")"},
      {"0", "cycle can not have a period of 0 (near \"0\")"},
      {"cycle(0 min)", "cycle can not have a period of 0 (near \"cycle(0 min)\")"},
      {"cycle(period = 1 h, period = 2 h)", "period specified twice (near \"cycle(period = 1 h, period = 2 h)\")"},
      {"cycle(period = 1 h, start = 1/1/2001, start = 1/2/2001)",
       "start specified twice (near \"cycle(period = 1 h, start = 1/1/2001, start = 1/2/2001)\")"},
      {"cycle(period = 1/1/2001)", "expecting a relative time for period (near \"cycle(period = 1/1/2001)\")"},
      {"cycle(period = 5 min, start = 10 min)", "expecting an absolute time for start"},
      {"cycle(start = 1/1/2001)", "period not specified (near \"cycle(start = 1/1/2001)\")"},
  });
}

// The relation checks, in the order they are made.
TEST_F(PeriodicParse, RelationErrors) {
  const std::string hourRange =
      "end range not allowed for variable hour (e.g. 'hour=1-3' should be converted to "
      "'hour>=1 && hour<=3' or 'hour>=1 && hour<3')";
  expectErrors({
      {"hour = 9-17", (hourRange + " (near \"hour = 9-17\")").c_str()},
      {"hour < 1-5", (hourRange + " (near \"hour < 1-5\")").c_str()},
      {"hour = 12 am-5 am", (hourRange + " (near \"hour = 12 am-5 am\")").c_str()},
      {"second = 1-3",
       "end range not allowed for variable second (e.g. 'second=1-3' should be converted to "
       "'second>=1 && second<=3' or 'second>=1 && second<3') (near \"second = 1-3\")"},
      {"minute = 0,10-20",
       "end range not allowed for variable minute (e.g. 'minute=1-3' should be converted to "
       "'minute>=1 && minute<=3' or 'minute>=1 && minute<3') (near \"minute = 0,10-20\")"},
      {"time = 9:00-17:00",
       "end range not allowed for variable time (e.g. 'time=1-3' should be converted to "
       "'time>=1 && time<=3' or 'time>=1 && time<3') (near \"time = 9:00-17:00\")"},
      {"date = 1/1/2001-1/2/2001",
       "end range not allowed for variable date (e.g. 'date=1-3' should be converted to "
       "'date>=1 && date<=3' or 'date>=1 && date<3') (near \"date = 1/1/2001-1/2/2001\")"},

      {"date = *", "date can not have a wildcard (near \"date = *\")"},
      {"date > *", "date can not have a wildcard (near \"date > *\")"},
      {"hour = mon", "hour can not understand day (near \"hour = mon\")"},
      {"second = 5 pm", "second can not understand hour (near \"second = 5 pm\")"},
      {"minute = 9:30", "minute can not understand time (near \"minute = 9:30\")"},
      {"day_of_week = jan", "day_of_week can not understand month (near \"day_of_week = jan\")"},
      {"day_of_week = 5 pm", "day_of_week can not understand hour (near \"day_of_week = 5 pm\")"},
      {"month = 1/1/2001", "month can not understand date (near \"month = 1/1/2001\")"},
      {"hour = 1/1/2001", "hour can not understand date (near \"hour = 1/1/2001\")"},
      {"date = 5", "date can not understand number (near \"date = 5\")"},
      {"date = dec", "date can not understand month (near \"date = dec\")"},
      {"time = 5", "time can not understand number (near \"time = 5\")"},
      {"time = mon", "time can not understand day (near \"time = mon\")"},
      {"week_of_year = 1:00", "week_of_year can not understand time (near \"week_of_year = 1:00\")"},
      {"0 0 mon * *", "cron day of month field can not understand day (near \"0 0 mon * *\")"},
      {"0 9:30 * * *", "cron hour field can not understand time (near \"0 9:30 * * *\")"},
      {"jan * * * *", "cron minute field can not understand month (near \"jan * * * *\")"},
      {"0 0 * mon *", "cron month field can not understand day (near \"0 0 * mon *\")"},
      {"0 0 * * 9:30", "cron day of week field can not understand time (near \"0 0 * * 9:30\")"},

      {"second = 60", "second is out of range: 60 (0-59) (near \"second = 60\")"},
      {"minute = 60", "minute is out of range: 60 (0-59) (near \"minute = 60\")"},
      {"hour = 24", "hour is out of range: 24 (0-23) (near \"hour = 24\")"},
      {"day_of_month = 0", "day_of_month is out of range: 0 (1-31) (near \"day_of_month = 0\")"},
      {"day_of_month = 1-32", "day_of_month is out of range: 32 (1-31) (near \"day_of_month = 1-32\")"},
      {"month = 13", "month is out of range: 13 (1-12) (near \"month = 13\")"},
      {"year = 99", "year is out of range: 99 (1969-2038) (near \"year = 99\")"},
      {"year = 2039", "year is out of range: 2039 (1969-2038) (near \"year = 2039\")"},
      {"day_of_week = 8", "day_of_week is out of range: 8 (0-6) (near \"day_of_week = 8\")"},
      {"week_of_year = 54", "week_of_year is out of range: 54 (0-53) (near \"week_of_year = 54\")"},
      {"day_of_year = 367", "day_of_year is out of range: 367 (1-366) (near \"day_of_year = 367\")"},
      {"date = 1/1/1969", "date is out of range: -31536000 (0-2147483647) (near \"date = 1/1/1969\")"},
      {"week_of_month = 6", "week_of_month is out of range: 6 (1-5) (near \"week_of_month = 6\")"},
      {"day_of_month >= 1,40", "day_of_month is out of range: 40 (1-31) (near \"day_of_month >= 1,40\")"},
      {"60 * * * *", "cron minute field is out of range: 60 (0-59) (near \"60 * * * *\")"},
      {"0 24 * * *", "cron hour field is out of range: 24 (0-23) (near \"0 24 * * *\")"},
      {"0 0 32 * *", "cron day of month field is out of range: 32 (1-31) (near \"0 0 32 * *\")"},
      {"0 0 * 0 *", "cron month field is out of range: 0 (1-12) (near \"0 0 * 0 *\")"},
      {"0 0 * * 8", "cron day of week field is out of range: 8 (0-6) (near \"0 0 * * 8\")"},

      {"hour >= *", "wildcard is only allowed with == and != operators (near \"hour >= *\")"},
      {"minute < *", "wildcard is only allowed with == and != operators (near \"minute < *\")"},
      {"day_of_month < 1-5", "end range is not allowed with a comparison (<) (near \"day_of_month < 1-5\")"},
      {"month >= jan-mar", "end range is not allowed with a comparison (>=) (near \"month >= jan-mar\")"},
      {"day_of_week >= mon,tue",
       "multiple values are not allowed with a comparison (>=) (near \"day_of_week >= mon,tue\")"},
      {"hour <= 1,2", "multiple values are not allowed with a comparison (<=) (near \"hour <= 1,2\")"},
      {"hour > 1,2", "multiple values are not allowed with a comparison (>) (near \"hour > 1,2\")"},
  });
}

TEST_F(PeriodicParse, SyntaxErrors) {
  expectErrors({
      {"hour =", "syntax error (near \"hour =\")"},
      {"hour 5", "syntax error (near \"hour 5\")"},
      {"0 12 * *", "syntax error (near \"0 12 * *\")"},
      {"0 12 * * * *", "syntax error (near \"0 12 * * * *\")"},
      {"cron 0 0 * * *", "syntax error (near \"cron 0 0 ...\")"},
      {"date = 1/1", "syntax error (near \"date = 1/1\")"},
      {"epoch(5)", "syntax error (near \"epoch(5)\")"},
      {"cycle(period == 1 h)", "syntax error (near \"cycle(period == 1 h)\")"},
      {"hour = 1 hour = 2", "syntax error (near \"hour = 1 hour = 2\")"},
      {"&& hour = 1", "syntax error (near \"&& ho...\")"},
      {"hour = 1 || || minute = 2", "syntax error (near \"... 1 || || mi...\")"},
      {"hour = 1 ()", "syntax error (near \"hour = 1 ()\")"},
      {")(", "syntax error (near \")(\")"},
      {"(hour = 1", "syntax error: missing right bracket? (near \"(hour = 1\")"},
      {"((hour = 1)", "syntax error: missing right bracket? (near \"((hour = 1)\")"},
      {"cycle(5 min", "syntax error: missing right bracket? (near \"cycle(5 min\")"},
      {"hour = 1 && (minute = 2", "syntax error: missing right bracket? (near \"...&& (minute = 2\")"},
      {"hour = 1)", "syntax error: missing left bracket? (near \"hour = 1)\")"},
      {"(hour = 1))", "syntax error: missing left bracket? (near \"(hour = 1))\")"},
  });
}

// Where the shown stretch begins: the innermost open "(", "!", "&&" or "||", blanks skipped.
TEST_F(PeriodicParse, ErrorContext) {
  expectErrors({
      {"hour = 2 || !(minute = 1.5)", "expecting integer at number 1.500000 (near \"...| !(minute = 1.5)\")"},
      {"(hour = 1) && hour = 1.5", "expecting integer at number 1.500000 (near \"...1) && hour = 1.5\")"},
      {"!hour = 1.5", "expecting integer at number 1.500000 (near \"!hour = 1.5\")"},
      {"          hour = 1.5", "expecting integer at number 1.500000 (near \"...   hour = 1.5\")"},
      // An operator opens its operand once the parser takes it, not when it is only looked at:
      // the relation before it is checked with the && read but not yet taken.
      {"hour = 25 && minute = 1", "hour is out of range: 25 (0-23) (near \"hour = 25 && mi...\")"},
  });
}

// Choices where the rules leave room: over-long numbers, a weekday range up to 7, deep brackets.
TEST_F(PeriodicParse, LimitsOfTheImplementation) {
  for (const char *text : {"hour = 4294967296", "4294967296", "99999999999 s", "date = epoch(99999999999)",
                           "hour = 1.99999999999", "date = 1/1/99999999999"})
    EXPECT_TRUE(fails(text)) << "schedule: " << text;

  expectTrees({
      {"day_of_week = 5-7", "or-range(day_of_week>=5,!day_of_week>=1)"},
      {"0 0 * * 5-7", "and(and(and(minute=0,hour=0),month=*),or-range(day_of_week>=5,!day_of_week>=1))"},
  });

  EXPECT_EQ(compile(std::string(200, '(') + "hour = 1" + std::string(200, ')')), "hour=1");
  EXPECT_EQ(compile(std::string(200, '!') + "hour = 1"), "hour=1");
  EXPECT_TRUE(fails(std::string(1001, '(') + "hour = 1" + std::string(1001, ')')));
  EXPECT_TRUE(fails(std::string(100000, '(') + "hour = 1" + std::string(100000, ')')));
  EXPECT_TRUE(fails(std::string(100000, '(')));
  // Deep negations, long lists and long chains must not bring the process down, however deep the
  // tree that a walk over it would recurse into.
  fails(std::string(100001, '!') + "hour = 1");
  std::string list = "minute = 0", chain = "hour = 1";
  for (int i = 1; i < 30000; ++i) {
    list += "," + std::to_string(i % 60);
    chain += i % 2 == 0 ? " && hour = 1" : " || minute = 2";
  }
  fails(list);
  fails(chain);
  fails("(" + chain + ") && !(" + chain + ")");
}

TEST_F(PeriodicParse, MessageLivesUntilTheNextFailure) {
  const char *first = nullptr;
  ASSERT_EQ(periodic_parse("hour = 24", &first), nullptr);
  const std::string expected = "hour is out of range: 24 (0-23) (near \"hour = 24\")";
  EXPECT_EQ(first, expected);
  const char *ok = nullptr;
  PeriodicSchedule *schedule = periodic_parse("hour = 23", &ok);
  ASSERT_NE(schedule, nullptr);
  EXPECT_STREQ(ok, "");
  EXPECT_EQ(first, expected);  // still readable after a success
  EXPECT_EQ(periodic_get_error(schedule), nullptr);
  periodic_free(schedule);
  EXPECT_EQ(first, expected);
  const char *second = nullptr;
  EXPECT_EQ(periodic_parse("hour = 25", &second), nullptr);
  EXPECT_EQ(std::string(second), "hour is out of range: 25 (0-23) (near \"hour = 25\")");
  periodic_free(nullptr);
}

// Variables come from base-periodic-d.x in a folder of INTERFACE_PATH.
class PeriodicVariables : public PeriodicParse {
 protected:
  void SetUp() override {
    idInit();
    char pattern[] = "/tmp/telvi-periodic-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    path.emplace("INTERFACE_PATH", pattern);
  }
  void TearDown() override {
    periodic_deinit();
    unlink(file().c_str());
    rmdir(directory.c_str());
  }
  std::string file() const { return directory + "/base-periodic-d.x"; }
  void write(const std::string &text) { std::ofstream(file()) << text; }

  std::string directory;
  std::optional<oracle::EnvGuard> path;
};

// The variable file of the tests. Each level of doubledN uses the next one twice: 2^24 leaves in all.
std::string variableFile() {
  std::string text =
      "# schedules used by the tests\n"
      "workhours = \"hour >= 8 && hour < 18\"\n"
      "weekend = \"day_of_week = sat,sun\"\n"
      "offhours = \"!$workhours || $weekend\"\n"
      "late_night2 = hour >= 22\n"
      "bad = \"hour = 25\"\n"
      "outer = \"minute = 0 && $bad\"\n"
      "outermost = \"$outer\"\n"
      "missing = \"$nosuch\"\n"
      "self = \"$self\"\n"
      "ping = \"hour = 1 || $pong\"\n"
      "pong = \"$ping\"\n";
  for (int i = 1; i < 24; ++i) {
    const std::string next = "$doubled" + std::to_string(i + 1);
    text += "doubled" + std::to_string(i) + " = \"" + next + (i % 2 == 1 ? " && " : " || ") + next + "\"\n";
  }
  return text + "doubled24 = \"minute = 0\"\n";
}

TEST_F(PeriodicVariables, DefinedNestedAndBroken) {
  write(variableFile());
  ASSERT_EQ(periodic_init(), nullptr);
  expectTrees({
      {"$workhours", "and(hour>=8,!hour>=18)"},
      {"$workhours || day_of_week = sat", "or(and(hour>=8,!hour>=18),day_of_week=6)"},
      {"$offhours", "or(or(!hour>=8,hour>=18),or(day_of_week=6,day_of_week=0))"},
      {"$late_night2 && !$weekend", "and(hour>=22,and(!day_of_week=6,!day_of_week=0))"},
      {"$workhours && $workhours", "and(and(hour>=8,!hour>=18),and(hour>=8,!hour>=18))"},
  });
  const std::string bad = "hour is out of range: 25 (0-23) (near \"hour = 25\") while reading variable $bad";
  expectErrors({
      {"$bad", bad.c_str()},
      {"$outer", (bad + " referenced in $outer").c_str()},
      {"hour = 1 && $outer", (bad + " referenced in $outer").c_str()},
      {"$outermost", (bad + " referenced in $outer referenced in $outermost").c_str()},
      {"$missing", "variable $nosuch not found (near \"$nosuch\") while reading variable $missing"},
      {"$absent", "variable $absent not found (near \"$absent\")"},
  });
  // A variable reached again while it is being read is an error, not an endless descent; so are
  // variables used so many times over that the schedule would take minutes to build.
  expectErrors({
      {"$self", "variable $self refers to itself (near \"$self\") while reading variable $self"},
      {"$ping", "variable $ping refers to itself (near \"$ping\") while reading variable $pong referenced in $ping"},
      {"$pong",
       "variable $pong refers to itself (near \"... 1 || $pong\") while reading variable $ping referenced in $pong"},
  });
  EXPECT_EQ(compile("$doubled22"), "or(and(minute=0,minute=0),and(minute=0,minute=0))");
  EXPECT_EQ(compile("$doubled1").rfind("error: schedule too big: more than 10000 nodes", 0), 0u);
  // The enclosing text goes on after a variable: its input and position are restored.
  EXPECT_EQ(compile("$weekend && hour = 1.5"),
            "error: expecting integer at number 1.500000 (near \"...nd && hour = 1.5\")");
}

TEST_F(PeriodicVariables, FileMissingUnreadableAndReread) {
  EXPECT_STREQ(periodic_init(), "can not access file base-periodic-d.x");
  write("broken = {\nx = 1\n");
  EXPECT_STREQ(periodic_init(), "can not load file base-periodic-d.x");
  write("x = \"hour = 1\"\n");
  ASSERT_EQ(periodic_init(), nullptr);
  EXPECT_EQ(compile("$x"), "hour=1");
  write("x = \"hour = 2\"\n");
  ASSERT_EQ(periodic_init(), nullptr);
  EXPECT_EQ(compile("$x"), "hour=2");
  periodic_deinit();
  EXPECT_EQ(compile("$x"), "error: variable $x not found (near \"$x\")");
}

}  // namespace
