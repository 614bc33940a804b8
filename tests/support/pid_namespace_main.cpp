// Test main that runs the tests as the first process of a private pid
// namespace. The processes they start get small pids (a DHCP client's pid
// file holds at most 32767), and none of them can reach the machine's own.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (unshare(CLONE_NEWPID) != 0) {
    perror("unshare(CLONE_NEWPID)");
    return 1;
  }
  pid_t tests = fork();
  if (tests < 0) {
    perror("fork");
    return 1;
  }
  if (tests == 0) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
  }
  int status = 0;
  waitpid(tests, &status, 0);
  // Once the namespace's first process has gone, no new task can start in
  // this one: end without exit handlers (a leak check at exit needs a thread).
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
