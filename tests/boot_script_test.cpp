// The boot script boot-service/dsl-modem.init as a service: its lock, stop,
// status and settings, against modem-sim on a pty. Each action runs in a
// private mount namespace whose /dev/log is the test's socket, /run the
// test's directory, /etc/default/dsl-modem the test's settings and
// /usr/sbin the programs of this build; under dash, and under busybox sh
// (bound over /bin/sh there) where busybox is installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
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
    for (const char* sub : {"/default", "/sbin", "/run"}) mkdir((dir_.path() + sub).c_str(), 0755);
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
  // The runs of this script in progress.
  size_t runs() const { return testsupport::runningCommandLines("/bin/sh", script_).size(); }
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

}  // namespace

// start leaves the run in the background and returns; a second start starts
// no second run; status says waiting; stop ends the run, serial-modem-setup
// with it. All the while a console that stays quiet gets nothing at all.
TEST(BootScript, StartRunsInTheBackgroundOnceStopEndsItStatusSaysEachState) {
  if (testsupport::underEmulator()) GTEST_SKIP() << "the boot script is tested with the host build";
  for (const auto& [name, shell] : shells()) {
    SCOPED_TRACE(name);
    modemsim::Options options;
    options.silent = true;
    modemsim::ModemSim modem(options);
    modem.start();
    BootService service(shell);
    // Quiet for longer than the test takes: nothing may reach the modem.
    service.settings(modem.slavePath(), "MODEM_QUIET=300\nMODEM_WAIT=soon\n");

    ProcessResult status = service.act("status");
    EXPECT_EQ(status.exitStatus, 3);
    EXPECT_EQ(status.out, "dsl-modem: not run\n");

    ProcessResult start = service.act("start");
    EXPECT_EQ(start.exitStatus, 0) << start.err;
    EXPECT_TRUE(
        contains(start.out, "configuring the modem on " + modem.slavePath() + " in the background"))
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
          return testsupport::runningCommandLines("serial-modem-setup", modem.slavePath()).empty();
        },
        10s));
  }
}

// A console that prints a greeting after the login, before its prompt, gets
// the credentials once and the commands once, at its shell, from one run of
// serial-modem-setup; the outcome is logged as one line quoting the
// program's; the trace is kept for root alone, the password blanked where
// the console printed it.
TEST(BootScript, ConfiguresOnceAndKeepsTheTraceWithoutThePassword) {
  if (testsupport::underEmulator()) GTEST_SKIP() << "the boot script is tested with the host build";
  const std::string password = "pw-s3cret";
  for (const auto& [name, shell] : shells()) {
    SCOPED_TRACE(name);
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
    service.settings(modem.slavePath(), "MODEM_USER=admin\nMODEM_PASSWORD=" + password +
                                            "\nMODEM_QUIET=1\nMODEM_WAIT=60\n");

    EXPECT_EQ(service.act("start").exitStatus, 0);
    EXPECT_TRUE(eventually(
        [&] { return service.act("status").exitStatus != 0 || service.runs() == 0; }, 60s));
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

// Each way a run fails, as serial-modem-setup's exit status tells it, gives
// one outcome line at err that quotes the program's own, and status says
// failed (exit status 1): a command rejected (MODEM_ERRORS), the login
// refused, a console that never answers, a device that never appears.
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
    for (const Case& test : cases) {
      SCOPED_TRACE(name + ": " + test.name);
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
      EXPECT_TRUE(eventually([&] { return service.runs() == 0; }, 10s));
    }
  }
}
