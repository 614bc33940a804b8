// The console login: answer "Login: " and "Password: ", nudge a silent
// console with a newline, stop at the shell prompt or when the budget is spent.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include "modem_setup.h"

void runLogin(int port, const SetupOptions& options) {
  char buffer[CONSOLE_READ_MAX + 1];
  // A negative pause would be read by usleep as more than half an hour.
  useconds_t pause = options.loginWaitUs > 0 ? static_cast<useconds_t>(options.loginWaitUs) : 0;
  int attempts = 0;
  // Answered prompts cost no attempt, so a console that rejects the
  // credentials would be answered forever; each kind of answer is bounded too.
  int usernamesSent = 0;
  int passwordsSent = 0;
  int gapMs = chunkGapMs(options.baudRate);

  while (attempts < options.maxErrors) {
    int n = readChunk(port, buffer, gapMs, hasLoginPromptTail);
    if (n == 0) {
      usleep(pause);
      // A console that answered during the pause needs no nudge (the newline
      // would reach it as an empty user name or password), and that was no
      // silence: its answer is read and judged next, so a small budget still
      // gets to answer the prompt its last nudge brought.
      if (bytesWaiting(port) > 0) continue;
      writeToPort(port, "\n");
      ++attempts;
      continue;
    }
    if (n < 0) exit(1);

    std::string chunk = chunkText(buffer, n);
    std::string tail = chunkTail(chunk);
    if (options.debug) printf("*** %s ***\n", tail.c_str());

    switch (classifyLoginTail(tail)) {
      case LoginTail::LoginPrompt:
        if (usernamesSent++ >= options.maxErrors) return;
        if (options.debug) printf("Entering username\n");
        writeToPort(port, options.username + "\n");
        break;
      case LoginTail::PasswordPrompt:
        if (passwordsSent++ >= options.maxErrors) return;
        if (options.debug) printf("Entering password\n");
        writeToPort(port, options.password + "\n");
        break;
      case LoginTail::ShellPrompt:
        if (options.debug) printf("Prompt found\n");
        syslog(LOG_INFO, "Login complete\n");
        return;
      case LoginTail::Other:
        if (options.debug) printf("Returned (%d, %d): <%s>\n", n, errno, chunk.c_str());
        ++attempts;
        break;
    }
  }
}
