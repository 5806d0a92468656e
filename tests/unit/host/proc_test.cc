#include "telvi/proc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <tcl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Tcl's object and regular-expression code needs its subsystems set up once per process.
const bool tclReady = [] {
  Tcl_FindExecutable(nullptr);
  return true;
}();

int openDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// Children of the test, killed and reaped by the fixture: one named by prctl, one running sleep
// with an argument no other process has.
class ProcTable : public ::testing::Test {
 protected:
  void SetUp() override {
    named_ = fork();
    if (named_ == 0) {
      prctl(PR_SET_NAME, "telvi-proc-kid");
      for (;;) pause();
    }
    // Tests run in parallel processes: the sleeper's arguments carry this process's pid.
    duration_ = "987." + std::to_string(getpid());
    sleeper_ = fork();
    if (sleeper_ == 0) {
      execl("/bin/sleep", "sleep", duration_.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    // Wait until both children show what they became.
    for (int i = 0; i < 500 && !(named("telvi-proc-kid") && named("sleep")); ++i) usleep(10000);
  }
  void TearDown() override {
    for (pid_t pid : {named_, sleeper_})
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
  }
  bool named(const char *name) {
    pid_t pids[4096];
    int n = proc_match_name(name, pids, 4096);
    return std::find(pids, pids + std::min(n, 4096), name[0] == 's' ? sleeper_ : named_) !=
           pids + std::min(n, 4096);
  }
  pid_t named_ = -1, sleeper_ = -1;
  std::string duration_;
};

TEST_F(ProcTable, OwnRecord) {
  usleep(1000);  // at least one voluntary context switch to count
  proc *self = proc_pid_lookup(getpid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(proc_get_pid(self), getpid());
  EXPECT_EQ(proc_get_ppid(self), getppid());
  EXPECT_EQ(proc_get_pgrp(self), getpgrp());
  EXPECT_EQ(proc_get_uid(self), getuid());
  EXPECT_EQ(proc_get_gid(self), getgid());
  EXPECT_STREQ(proc_get_name(self), "telvi_unit");
  EXPECT_NE(std::strstr(proc_get_args(self), "telvi_unit"), nullptr);
  EXPECT_LE(std::strlen(proc_get_args(self)), 80u);
  EXPECT_EQ(proc_get_state(self), 'R');  // reading itself, it runs
  EXPECT_STREQ(proc_get_status(self), "");
  EXPECT_GT(proc_get_size(self), proc_get_rssize(self));
  EXPECT_GT(proc_get_rssize(self), 0);
  EXPECT_GT(proc_get_stksize(self), 0u);
  EXPECT_GT(proc_get_context_switches(self), 0u);
  EXPECT_GT(proc_get_system_calls(self), 0u);
  long now = time(nullptr);
  timeval exact;
  gettimeofday(&exact, nullptr);
  EXPECT_LE(proc_get_start_dtime(self), exact.tv_sec + exact.tv_usec * 1e-6 + 0.02);
  EXPECT_GT(proc_get_start_time(self), now - 3600);
  EXPECT_NEAR(proc_get_start_dtime(self), proc_get_start_time(self), 0.5);
  long sec, usec;
  proc_get_timestamp(self, &sec, &usec);
  EXPECT_NEAR(sec, now, 2);
  EXPECT_GE(proc_get_cpu_dsec(self), static_cast<double>(proc_get_cpu_sec(self)));
  if (getuid() == 0) {
    EXPECT_STREQ(proc_get_user(self), "root");
  }
  EXPECT_GE(proc_get_pctcpu(self), 0.0);
  EXPECT_GT(proc_exists(self), 0);
  EXPECT_EQ(proc_update(self), 1);
  EXPECT_EQ(proc_pid_exists(getpid()), 1);
  proc_free(self);
}

TEST_F(ProcTable, FindsChildrenByNameAndExpression) {
  pid_t pids[4096];
  int n = proc_match_name("telvi-proc-kid", pids, 4096);
  ASSERT_GE(n, 1);
  EXPECT_NE(std::find(pids, pids + n, named_), pids + n);
  std::string expression = "^sleep 987\\." + std::to_string(getpid()) + "$";
  n = proc_match_regexp(expression.c_str(), pids, 4096);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(pids[0], sleeper_);
  // Too small an array: the count says so, nothing is written past it.
  pid_t one[2] = {-7, -7};
  EXPECT_GE(proc_match_name("sleep", one, 0), 1);
  EXPECT_EQ(one[0], -7);
  EXPECT_EQ(proc_match_name("", pids, 4096), 0);
  EXPECT_EQ(proc_match_name("telvi-proc-ki", pids, 4096), 0);  // exact names only
  EXPECT_EQ(proc_match_regexp("(unclosed", pids, 4096), -2);
  EXPECT_EQ(proc_match_regexp(nullptr, pids, 4096), -2);
}

TEST_F(ProcTable, KilledChildIsGone) {
  proc *kid = proc_pid_lookup(named_);
  ASSERT_NE(kid, nullptr);
  EXPECT_EQ(proc_get_ppid(kid), getpid());
  EXPECT_EQ(proc_get_state(kid), 'S');
  kill(named_, SIGSTOP);
  waitpid(named_, nullptr, WUNTRACED);
  ASSERT_EQ(proc_update(kid), 1);
  EXPECT_EQ(proc_get_state(kid), 'T');
  kill(named_, SIGKILL);
  waitpid(named_, nullptr, 0);
  pid_t gone = named_;
  named_ = -1;
  EXPECT_EQ(proc_exists(kid), 0);
  EXPECT_EQ(proc_update(kid), 0);
  proc_free(kid);
  EXPECT_EQ(proc_pid_exists(gone), 0);
  EXPECT_EQ(proc_pid_lookup(gone), nullptr);
  proc *down = proc_pid_clookup(gone);
  ASSERT_NE(down, nullptr);
  EXPECT_EQ(proc_get_pid(down), gone);
  EXPECT_EQ(proc_get_state(down), '-');
  EXPECT_STREQ(proc_get_status(down), "Down");
  proc_free(down);
  pid_t pids[4096];
  int n = std::min(proc_match_name("telvi-proc-kid", pids, 4096), 4096);
  EXPECT_EQ(std::find(pids, pids + std::max(n, 0), gone), pids + std::max(n, 0));
}

TEST_F(ProcTable, ZombieCounted) {
  kill(sleeper_, SIGKILL);
  proc *zombie = nullptr;
  for (int i = 0; i < 500; ++i) {  // until the kill lands
    proc_free(zombie);
    zombie = proc_pid_clookup(sleeper_);
    if (proc_get_state(zombie) == 'Z') break;
    usleep(10000);
  }
  EXPECT_EQ(proc_get_state(zombie), 'Z');
  EXPECT_STREQ(proc_get_args(zombie), "sleep");  // no arguments left: the name stands in
  proc_free(zombie);
  int counts[PROC_COUNT_SIZE];
  proc_get_count_by_states(counts);
  EXPECT_GE(counts[PROC_COUNT_ZOMB], 1);
  int sum = 0;
  for (int i = 0; i < PROC_COUNT_TOTAL; ++i) sum += counts[i];
  EXPECT_EQ(sum, counts[PROC_COUNT_TOTAL]);  // every Linux state maps to one of the seven
  EXPECT_NEAR(counts[PROC_COUNT_TOTAL], proc_get_total_count(), 20);
}

TEST_F(ProcTable, SnapshotAndIteration) {
  proc_snapshot *snapshot = proc_snapshot_init();
  ASSERT_NE(snapshot, nullptr);
  int count = 0;
  bool self = false, kid = false;
  for (proc *r = proc_snapshot_get_start(snapshot); r != nullptr; r = proc_snapshot_get_next(r)) {
    ++count;
    self |= proc_get_pid(r) == getpid();
    kid |= proc_get_pid(r) == sleeper_ && proc_get_args(r) == "sleep " + duration_;
    EXPECT_GE(proc_get_pctcpu(r), 0.0);
    EXPECT_EQ(proc_get_system_calls(r), 0u);  // snapshots do not collect usage
  }
  proc_snapshot_free(snapshot);
  EXPECT_TRUE(self);
  EXPECT_TRUE(kid);
  EXPECT_NEAR(count, proc_get_total_count(), 20);

  proc_list *list = proc_list_open();
  ASSERT_NE(list, nullptr);
  proc *first = proc_list_get_next(list);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(proc_list_get_next(list), first);  // reused while nobody holds it
  proc *held = proc_hold(proc_list_get_next(list));
  pid_t heldPid = proc_get_pid(held);
  proc *next = proc_list_get_next(list);
  EXPECT_NE(next, held);
  EXPECT_EQ(proc_get_pid(held), heldPid);
  proc_free(held);
  int listed = 3;
  while (proc_list_get_next(list) != nullptr) ++listed;
  proc_list_start(list);
  EXPECT_NE(proc_list_get_next(list), nullptr);
  proc_list_close(list);
  EXPECT_NEAR(listed, count, 20);
}

TEST_F(ProcTable, NoDescriptorLeftOpen) {
  int before = openDescriptors();
  pid_t pids[4096];
  int counts[PROC_COUNT_SIZE];
  for (int i = 0; i < 3; ++i) {
    proc_snapshot_free(proc_snapshot_init());
    proc_free(proc_pid_lookup(getpid()));
    proc_free(proc_pid_clookup(1));
    proc_get_count_by_states(counts);
    proc_match_name("sleep", pids, 4096);
    proc_match_regexp("sleep", pids, 4096);
    proc_list *list = proc_list_open();
    while (proc_list_get_next(list) != nullptr) {
    }
    proc_list_close(list);
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(ProcNull, NullArgumentsAreHarmless) {
  EXPECT_EQ(proc_get_pid(nullptr), 0);
  EXPECT_EQ(proc_get_name(nullptr), nullptr);
  EXPECT_EQ(proc_update(nullptr), 0);
  EXPECT_EQ(proc_exists(nullptr), 0);
  EXPECT_EQ(proc_pid_lookup(-1), nullptr);
  EXPECT_EQ(proc_pid_exists(0), 0);
  EXPECT_EQ(proc_list_get_next(nullptr), nullptr);
  EXPECT_EQ(proc_snapshot_get_start(nullptr), nullptr);
  proc_free(nullptr);
  proc_close(nullptr);
  proc_list_close(nullptr);
  proc_snapshot_free(nullptr);
  proc_get_count_by_states(nullptr);
  long sec = 1, nsec = 1;
  proc_get_cpu_time(nullptr, &sec, &nsec);
  EXPECT_EQ(sec + nsec, 0);
}

}  // namespace
