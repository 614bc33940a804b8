// The boot script boot-service/dsl-modem.init as a service: its lock, stop,
// reload, status and settings, against modem-sim on a pty, with the watch
// (MODEM_WATCH=yes) and with a single run (no). Each action runs in a
// private mount namespace whose /dev/log is the test's socket, /run the
// test's directory (/var/lock with it), /etc/default/dsl-modem the test's
// settings and /usr/sbin the programs of this build; under dash, and under
// busybox sh (bound over /bin/sh there) where busybox is installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "modem_sim.h"
#include "process.h"
#include "setup_run.h"
#include "syslog_sink.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using testsupport::LogMessage;
using testsupport::ProcessResult;
using testsupport::readFile;

namespace {

// Binds the test's directories over the machine's, in the sandbox's own
// mount namespace, then runs the script: $1 settings, $2 programs, $3 the
// shell for /bin/sh (empty: the machine's), $4 the script, $5 the action.
const char IN_NAMESPACE[] =
    "mount --bind \"$1\" /etc/default && mount --bind \"$2\" /usr/sbin &&"
    " { [ -z \"$3\" ] || mount --bind \"$3\" /bin/sh; } && exec /bin/sh \"$4\" \"$5\"";

constexpr int LOG_DAEMON = 3;

// The shells to run the script with: the machine's /bin/sh, and busybox's.
std::vector<std::pair<std::string, std::string>> shells() {
  std::vector<std::pair<std::string, std::string>> found = {{"/bin/sh", ""}};
  for (const char* busybox : {"/bin/busybox", "/usr/bin/busybox"}) {
    if (access(busybox, X_OK) == 0) {
      found.push_back({"busybox sh", busybox});
      break;
    }
  }
  if (found.size() == 1) std::cerr << "no busybox: the boot script runs under /bin/sh only\n";
  return found;
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds within) {
  for (auto until = std::chrono::steady_clock::now() + within;
       std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms)) {
    if (condition()) return true;
  }
  return condition();
}

// The boot script installed in a scratch root of its own.
class BootService {
 public:
  explicit BootService(const std::string& shell) : shell_(shell), sink_(dir_.file("log")) {
    for (const char* sub : {"/default", "/sbin", "/run", "/run/lock"})
      mkdir((dir_.path() + sub).c_str(), 0755);
    script_ = dir_.write("dsl-modem", readFile(std::string(BOOT_SERVICE_DIR) + "/dsl-modem.init"));
    chmod(script_.c_str(), 0755);
    symlink(testsupport::programPath("MODEM_SETUP_PROGRAM").c_str(),
            dir_.file("sbin/serial-modem-setup").c_str());
    symlink(testsupport::programPath("NETIF_RENAME_PROGRAM").c_str(),
            dir_.file("sbin/netif-rename").c_str());
    commands_ =
        dir_.write("bridge.conf", "# the modem's commands\nwan delete service ppp0\nsave\n");
  }
  ~BootService() { act("stop"); }

  const std::string& commands() const { return commands_; }
  // /etc/default/dsl-modem: the console on device, with the commands above.
  void settings(const std::string& device, const std::string& more) {
    dir_.write("default/dsl-modem",
               "MODEM_DEVICE=" + device + "\nMODEM_COMMANDS=" + commands_ + "\n" + more);
  }
  ProcessResult act(const std::string& action) {
    return testsupport::runProcess(
        {testsupport::programPath("SANDBOX_RUN"), "--log", sink_.path(), "--run-dir",
         dir_.file("run"), "--", "/bin/sh", "-c", IN_NAMESPACE, "boot-service",
         dir_.file("default"), dir_.file("sbin"), shell_, script_, action},
        30);
  }
  // A file of the service's state directory.
  std::string stateFile(const std::string& name) const {
    return dir_.file("run/dsl-modem/" + name);
  }
  // The runs of this script in progress (not the watch's outcomes it runs).
  size_t runs() const {
    size_t found = 0;
    for (const auto& words : testsupport::runningCommandLines("/bin/sh", script_))
      found += words.size() == 3 && words[2] == "run";
    return found;
  }
  // The script's own log lines, "PRIORITY text".
  std::vector<std::string> serviceLog() {
    std::vector<std::string> lines;
    for (const LogMessage& message : sink_.messages())
      if (message.facility == LOG_DAEMON)
        lines.push_back(std::to_string(message.priority) + " " + message.text);
    return lines;
  }
  std::vector<LogMessage> log() { return sink_.messages(); }

 private:
  std::string shell_;
  testsupport::TempDir dir_;
  testsupport::SyslogSink sink_;
  std::string script_;
  std::string commands_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The first log line that holds part, or "".
std::string logLineWith(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (contains(line, part)) return line;
  return "";
}

// The two ways the service runs: the watch (the default) and a single run.
const char* const MODES[] = {"MODEM_WATCH=yes\n", "MODEM_WATCH=no\n"};

// Whether a terminal program could take the device now: picocom's exclusive
// flock, without blocking.
bool portFree(const std::string& device) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

}  // namespace

// start leaves the run in the background and returns; a second start starts
// no second run; status says waiting; stop ends the run, serial-modem-setup
// with it. All the while a console that stays quiet gets nothing at all.
// The same for the watch and for a single run.
TEST(BootScript, StartRunsInTheBackgroundOnceStopEndsItStatusSaysEachState) {
  if (testsupport::underEmulator()) GTEST_SKIP() << "the boot script is tested with the host build";
  for (const auto& [name, shell] : shells()) {
    for (const char* mode : MODES) {
      SCOPED_TRACE(name + ", " + mode);
      modemsim::Options options;
      options.silent = true;
      modemsim::ModemSim modem(options);
      modem.start();
      BootService service(shell);
      // Quiet for longer than the test takes: nothing may reach the modem.
      service.settings(modem.slavePath(), std::string(mode) + "MODEM_QUIET=300\nMODEM_WAIT=soon\n");

      ProcessResult status = service.act("status");
      EXPECT_EQ(status.exitStatus, 3);
      EXPECT_EQ(status.out, "dsl-modem: not run\n");

      ProcessResult start = service.act("start");
      EXPECT_EQ(start.exitStatus, 0) << start.err;
      EXPECT_TRUE(contains(start.out,
                           "configuring the modem on " + modem.slavePath() + " in the background"))
          << start.out;
      std::cout << "[ " << name << " ] start took " << start.seconds << " s\n";
      status = service.act("status");
      EXPECT_EQ(status.exitStatus, 0);
      EXPECT_TRUE(contains(status.out, "dsl-modem: waiting since ")) << status.out;
      // A setting that is no number falls back to its default, and says so.
      EXPECT_TRUE(contains(status.out, "(up to 180 s)")) << status.out;
      EXPECT_EQ(service.runs(), 1u);

      ProcessResult again = service.act("start");
      EXPECT_EQ(again.exitStatus, 0);
      EXPECT_TRUE(contains(again.out, "a run is in progress already")) << again.out;
      EXPECT_EQ(service.runs(), 1u);

      ProcessResult stop = service.act("stop");
      EXPECT_EQ(stop.exitStatus, 0);
      EXPECT_TRUE(contains(stop.out, "stopped the run in progress")) << stop.out;
      EXPECT_TRUE(eventually([&] { return service.runs() == 0; }, 10s));
      status = service.act("status");
      EXPECT_EQ(status.exitStatus, 3);
      EXPECT_TRUE(contains(status.out, "dsl-modem: not run (stopped at ")) << status.out;
      EXPECT_EQ(modem.received(), "");
      EXPECT_NE(logLineWith(service.serviceLog(),
                            "4 MODEM_WAIT=soon is not a number of seconds: using 180"),
                "");
      EXPECT_TRUE(eventually(
          [&] {
            return testsupport::runningCommandLines("serial-modem-setup", modem.slavePath())
                .empty();
          },
          10s));
    }
  }
}

// A console that prints a greeting after the login, before its prompt, gets
// the credentials once and the commands once, at its shell, from one run of
// serial-modem-setup; the outcome is logged as one line quoting the
// program's; the trace is kept for root alone, the password blanked where
// the console printed it. The same for the watch, whose trace is written as
// the dialogue goes.
TEST(BootScript, ConfiguresOnceAndKeepsTheTraceWithoutThePassword) {
  if (testsupport::underEmulator()) GTEST_SKIP() << "the boot script is tested with the host build";
  const std::string password = "pw-s3cret";
  for (const auto& [name, shell] : shells()) {
    for (const char* mode : MODES) {
      SCOPED_TRACE(name + ", " + mode);
      modemsim::Options options;
      options.username = "admin";
      options.password = password;
      // The login's answers, a greeting with the password in it (the line the
      // program's trace shows) and no prompt, then the prompt for every line.
      options.script = {"\r\nLogin: ", "\r\nPassword: ", "\r\nHello " + password};
      options.script.resize(20, "\r\n > ");
      options.lineTimeMs = 30;  // a modem's pace, not an instant answer
      modemsim::ModemSim modem(options);
      modem.start();
      BootService service(shell);
      service.settings(modem.slavePath(), std::string(mode) + "MODEM_USER=admin\nMODEM_PASSWORD=" +
                                              password + "\nMODEM_QUIET=1\nMODEM_WAIT=60\n");

      EXPECT_EQ(service.act("start").exitStatus, 0);
      EXPECT_TRUE(eventually(
          [&] { return !contains(service.act("status").out, "dsl-modem: waiting "); }, 60s));
      ProcessResult status = service.act("status");
      EXPECT_EQ(status.exitStatus, 0);
      EXPECT_TRUE(contains(status.out, "dsl-modem: configured at ")) << status.out;

      EXPECT_EQ(testsupport::withoutEmptyLines(testsupport::linesOf(modem.received())),
                (std::vector<std::string>{"admin", password, "wan delete service ppp0", "save"}));
      std::vector<std::string> serviceLog = service.serviceLog();
      ASSERT_EQ(serviceLog.size(), 1u) << ::testing::PrintToString(serviceLog);
      EXPECT_EQ(serviceLog[0].rfind("6 modem configured in ", 0), 0u) << serviceLog[0];
      EXPECT_TRUE(contains(serviceLog[0],
                           " s (serial-modem-setup: Modem configured: 2 commands "
                           "answered, logged in after "))
          << serviceLog[0];
      int runs = 0;
      for (const LogMessage& message : service.log()) {
        EXPECT_FALSE(contains(message.text, password)) << message.text;
        if (contains(message.text, "Configuring DSL modem using ")) {
          EXPECT_EQ(message.text, "Configuring DSL modem using " + service.commands() + "\n");
          ++runs;
        }
      }
      EXPECT_EQ(runs, 1);

      struct stat info {};
      ASSERT_EQ(stat(service.stateFile("trace").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600u);
      ASSERT_EQ(stat(service.stateFile("").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0700u);
      std::string trace = readFile(service.stateFile("trace"));
      EXPECT_TRUE(contains(trace, "Hello ********")) << trace;
      EXPECT_FALSE(contains(trace, password)) << trace;
    }
  }
}

// Each way a run fails, as serial-modem-setup's exit status tells it, gives
// one outcome line at err that quotes the program's own, and status says
// failed (exit status 1): a command rejected (MODEM_ERRORS), the login
// refused, a console that never answers, a device that never appears. The
// watch, told each outcome, logs the same line and goes on: it listens to
// the console, or waits for its device, however late.
TEST(BootScript, EachFailedRunHasItsOutcomeLineAndStatusSaysFailed) {
  if (testsupport::underEmulator()) GTEST_SKIP() << "the boot script is tested with the host build";
  struct Case {
    const char* name;
    std::function<void(modemsim::Options&)> modem;
    std::string settings;  // after the console's MODEM_DEVICE and the login's
    // The outcome line, from its beginning: of the console's path and the
    // command file.
    std::function<std::string(const std::string&, const std::string&)> outcome;
  };
  const std::string missing = "/dev/dslcons-missing";
  const Case cases[] = {
      {"a rejected command",
       [](modemsim::Options& o) {
         o.replies["wan delete service ppp0"].output = "Error: unknown command 'wan'";
       },
       "MODEM_ERRORS='Unknown command|Error|Invalid'\n",
       [](const std::string&, const std::string& commands) {
         return "1 of 2 commands failed: 1 rejected, 0 got no prompt back (serial-modem-setup exit "
                "status 1, " +
                commands + "); the first: Command on line 2 of " + commands +
                " rejected: \"Error: unknown command 'wan'\"";
       }},
      {"the login refused", [](modemsim::Options& o) { o.password = "not-the-settings-password"; },
       "MODEM_OPTIONS='-e 2'\n",
       [](const std::string&, const std::string&) {
         return std::string(
             "login refused (serial-modem-setup: Login refused: user 'admin' and its "
             "password sent 2 times)");
       }},
      {"a console that never answers", [](modemsim::Options& o) { o.silent = true; },
       "MODEM_WAIT=3\n",
       [](const std::string& device, const std::string&) {
         return "modem not answering on " + device +
                " (serial-modem-setup: Modem not answering on '" + device +
                "' within 3 s: no shell prompt";
       }},
      {"a device that never appears", [](modemsim::Options&) {},
       "MODEM_DEVICE=" + missing + "\nMODEM_WAIT=2\n",
       [&](const std::string&, const std::string&) {
         return "modem device " + missing + " did not appear (serial-modem-setup: Device '" +
                missing + "' did not appear within 2 s)";
       }},
  };
  for (const auto& [name, shell] : shells()) {
    for (const char* mode : MODES) {
      for (const Case& test : cases) {
        SCOPED_TRACE(name + ", " + mode + ": " + test.name);
        bool watching = mode == MODES[0];
        modemsim::Options options;
        options.username = "admin";
        options.password = "pw-s3cret";
        options.lineTimeMs = 30;
        test.modem(options);
        modemsim::ModemSim modem(options);
        modem.start();
        BootService service(shell);
        service.settings(
            modem.slavePath(),
            std::string(mode) +
                "MODEM_USER=admin\nMODEM_PASSWORD=pw-s3cret\nMODEM_QUIET=1\nMODEM_WAIT=30\n" +
                test.settings);

        EXPECT_EQ(service.act("start").exitStatus, 0);
        EXPECT_TRUE(eventually([&] { return service.act("status").exitStatus != 0; }, 60s));
        std::string outcome = test.outcome(modem.slavePath(), service.commands());
        std::vector<std::string> serviceLog = service.serviceLog();
        ASSERT_EQ(serviceLog.size(), 1u) << ::testing::PrintToString(serviceLog);
        EXPECT_EQ(serviceLog[0].rfind("3 " + outcome, 0), 0u) << serviceLog[0];
        ProcessResult status = service.act("status");
        EXPECT_EQ(status.exitStatus, 1);
        EXPECT_EQ(status.out.rfind("dsl-modem: failed at ", 0), 0u) << status.out;
        EXPECT_TRUE(contains(status.out, outcome)) << status.out;
        size_t runs = watching ? 1 : 0;
        EXPECT_TRUE(eventually([&] { return service.runs() == runs; }, 10s));
        if (runs) {
          EXPECT_EQ(service.act("status").exitStatus, 1);
        }
      }
    }
  }
}

// The watch as the board lives with it, step by step: start configures the
// modem and the DHCP client renews; reload sends the commands again; a
// session the modem ends gets nothing; a reboot (with a bootloader
// countdown) and a console that goes away and comes back (a USB console) are
// each configured again, with the renewal; stop ends the program before it
// returns and frees the port. After each step: what the console received,
// line by line, how many renewals the client saw, the service's log line
// quoting the program's, and what status says.
TEST(BootScript, TheWatchConfiguresAfterStartReloadAndRebootAndStopFreesThePort) {
  if (testsupport::underEmulator()) GTEST_SKIP() << "the boot script is tested with the host build";
  using Lines = std::vector<std::string>;
  auto joined = [](std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const Lines login = {"admin", "pw-s3cret"};
  const Lines commands = {"wan delete service ppp0", "save"};
  const Lines once = joined({login, commands});
  for (const auto& [name, shell] : shells()) {
    SCOPED_TRACE(name);
    testsupport::TempDir board;
    modemsim::Options options;
    options.username = "admin";
    options.password = "pw-s3cret";
    options.lineTimeMs = 30;
    // The console by a link, as udev makes one for a USB console.
    options.link = board.file("dslcons0");
    modemsim::ModemSim modem(options);
    modem.start();
    // A DHCP client by its command line, as busybox udhcpc: it reports each
    // SIGUSR1, the renewal.
    const std::string pidFile = board.file("udhcpc.wan0.pid");
    testsupport::BackgroundProcess client({"/bin/sh", "-c",
                                           "echo $$ >\"$1\"; trap 'echo renewed' USR1; echo ready; "
                                           "while :; do sleep 1 & wait $!; done",
                                           "udhcpc", pidFile});
    ASSERT_EQ(client.readLine(), "ready");
    int renewals = 0;
    auto renewalsBy = [&](int expected) {
      while (renewals < expected && client.readLine(30) == "renewed") ++renewals;
      // None more for a moment.
      if (renewals == expected && client.readLine(0.5) == "renewed") ++renewals;
      return renewals;
    };
    BootService service(shell);
    service.settings(modem.path(),
                     "MODEM_USER=admin\nMODEM_PASSWORD=pw-s3cret\nMODEM_QUIET=1\n"
                     "MODEM_WAIT=60\nDHCP_INTERFACE=wan0\nDHCP_CLIENT=udhcpc\n"
                     "UDHCPC_PIDFILE=" +
                         pidFile + "\n");

    struct Step {
      const char* name;
      std::function<void()> act;
      std::string logged;  // the start of the log line that ends the step
      Lines received;      // by the console since the start
      int renewals;        // since the start
      Lines status;        // parts of status's line
    };
    const Step steps[] = {
        {"start",
         [&] { EXPECT_EQ(service.act("start").exitStatus, 0); },
         "6 modem configured in ",
         once,
         1,
         {"dsl-modem: configured at ", ": modem configured in ",
          " s (serial-modem-setup: Modem configured: 2 commands answered, logged in after ",
          "; the modem has not rebooted since "}},
        {"reload",
         [&] {
           ProcessResult reload = service.act("reload");
           EXPECT_EQ(reload.exitStatus, 0) << reload.out;
         },
         "6 modem configured in ",
         joined({once, commands}),
         2,
         {"dsl-modem: configured at ", "; the modem has not rebooted since "}},
        {"the modem ends its session",
         [&] { modem.endSession(); },
         "6 modem ended its console session ",
         joined({once, commands}),
         2,
         {"dsl-modem: configured at ", "; the modem has not rebooted since "}},
        {"the modem reboots, with a countdown",
         [&] { modem.reboot(true); },
         "6 modem configured in ",
         joined({once, commands, once}),
         3,
         {"dsl-modem: configured at ", "; the modem rebooted 1 time since ", ", the last at ",
          ", and was configured again each time"}},
        {"the console goes away and comes back",
         [&] { modem.vanish(500); },
         "6 modem configured in ",
         joined({once, commands, once, once}),
         4,
         {"dsl-modem: configured at ", "; the modem rebooted 2 times since ", ", the last at ",
          ", and was configured again each time"}},
    };
    for (const Step& step : steps) {
      SCOPED_TRACE(step.name);
      size_t logged = service.serviceLog().size();
      step.act();
      // The line quotes the program's own outcome line.
      std::string line;
      EXPECT_TRUE(eventually(
          [&] {
            std::vector<std::string> log = service.serviceLog();
            line = logLineWith({log.begin() + static_cast<long>(logged), log.end()}, step.logged);
            return line != "";
          },
          60s))
          << ::testing::PrintToString(service.serviceLog());
      EXPECT_EQ(line.rfind(step.logged, 0), 0u) << line;
      EXPECT_TRUE(contains(line, " (serial-modem-setup: Modem ")) << line;
      EXPECT_EQ(testsupport::withoutEmptyLines(testsupport::linesOf(modem.received())),
                step.received);
      EXPECT_EQ(renewalsBy(step.renewals), step.renewals);
      // The state follows the log line.
      ProcessResult status;
      eventually(
          [&] {
            status = service.act("status");
            for (const std::string& part : step.status)
              if (!contains(status.out, part)) return false;
            return true;
          },
          10s);
      EXPECT_EQ(status.exitStatus, 0);
      for (const std::string& part : step.status)
        EXPECT_TRUE(contains(status.out, part)) << status.out;
      // The watch holds the port as terminal programs look for it.
      EXPECT_EQ(service.runs(), 1u);
      EXPECT_FALSE(portFree(modem.path()));
      EXPECT_EQ(access(service.stateFile("../lock/LCK..dslcons0").c_str(), F_OK), 0);
    }
    EXPECT_FALSE(contains(modem.transcript(), "-- autoboot stopped"));
    // Each reboot has its line at notice, before the configuration's.
    std::vector<std::string> log = service.serviceLog();
    size_t reboots = 0;
    for (size_t at = 0; at < log.size(); ++at) {
      if (log[at].rfind("5 modem rebooting: configured again once it has booted "
                        "(serial-modem-setup: Modem ",
                        0) != 0)
        continue;
      ++reboots;
      EXPECT_NE(
          logLineWith({log.begin() + static_cast<long>(at), log.end()}, "6 modem configured in "),
          "");
    }
    EXPECT_EQ(reboots, 2u) << ::testing::PrintToString(log);
    EXPECT_NE(logLineWith(log, "6 reload: asked serial-modem-setup (pid "), "");

    // Stop: the program gone and the port free once stop returns.
    ProcessResult stop = service.act("stop");
    EXPECT_EQ(stop.exitStatus, 0);
    EXPECT_TRUE(contains(stop.out, "stopped the run in progress")) << stop.out;
    std::cout << "[ " << name << " ] stop took " << stop.seconds << " s\n";
    EXPECT_TRUE(testsupport::runningCommandLines("serial-modem-setup", modem.path()).empty());
    EXPECT_TRUE(portFree(modem.path()));
    EXPECT_NE(access(service.stateFile("../lock/LCK..dslcons0").c_str(), F_OK), 0);
    ProcessResult status = service.act("status");
    EXPECT_EQ(status.exitStatus, 3);
    EXPECT_TRUE(contains(status.out, "dsl-modem: not run (stopped at ")) << status.out;
    EXPECT_TRUE(eventually([&] { return service.runs() == 0; }, 10s));
    // The trace begins anew at each reboot: the first reboot's dialogue in
    // trace.1, the second's in trace.
    std::string before = readFile(service.stateFile("trace.1"));
    std::string now = readFile(service.stateFile("trace"));
    EXPECT_TRUE(contains(before.substr(0, before.find('\n')), " rebooted - 1")) << before;
    EXPECT_TRUE(contains(before, " configured 0 1 Modem ")) << before;
    EXPECT_TRUE(contains(now.substr(0, now.find('\n')), " rebooted - 2")) << now;
    EXPECT_TRUE(contains(now, " configured 0 2 Modem ")) << now;
    EXPECT_FALSE(contains(before + now, "pw-s3cret"));
  }
}
