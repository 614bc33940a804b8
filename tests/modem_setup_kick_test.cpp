// The DHCP client kick of the real serial-modem-setup: the pid file under a
// private /var/run, a child of the test as the client, the log outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_dhcp_client.h"
#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAre;

class SetupKick : public ::testing::Test {
 protected:
  SetupHarness harness;
  TempDir varRun;

  // A run that skips the login and sends no command, kicking interface.
  SetupRun kick(const std::string& interface, std::vector<std::string> extraArgs = {}) {
    modemsim::Options console;
    console.atShell = true;
    modemsim::ModemSim modem(console);
    SandboxOptions sandbox;
    sandbox.runDir = varRun.path();
    extraArgs.insert(extraArgs.end(), {"-k", interface});
    return harness.runAgainst(modem, "", extraArgs, sandbox);
  }

  void writePidFile(const std::string& interface, const std::string& content) {
    varRun.write("dhcpcd-" + interface + ".pid", content);
  }

  // The messages between the start and the end message.
  static std::vector<std::string> middle(const SetupRun& run) {
    std::vector<std::string> lines = run.logLines();
    if (lines.size() < 2) return lines;
    return std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
  }
};

TEST_F(SetupKick, SignalsALiveClientAndLogsTheSuccess) {
  FakeDhcpClient client;
  std::string pid = std::to_string(client.pid());
  for (const std::string& content : {pid + "\n", pid, "  " + pid + " running since boot\n"}) {
    writePidFile("eth1", content);
    SetupRun run = kick("eth1", {"-e", "0"});
    EXPECT_EQ(run.process.exitStatus, 0);
    EXPECT_THAT(middle(run), ElementsAre("7 Kicking dhcpcd with pid " + pid + " successful"));
    EXPECT_TRUE(client.waitForAlarm(10)) << content;
  }
}

TEST_F(SetupKick, AClientThatHasGoneIsAFailedKick) {
  std::string pid = std::to_string(goneProcessPid());
  writePidFile("eth1", pid + "\n");
  SetupRun run = kick("eth1", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(middle(run), ElementsAre("7 Kicking dhcpcd with pid " + pid + " failed"));
}

TEST_F(SetupKick, APidOutsideOneTo32767IsNeverSignalled) {
  FakeDhcpClient bystander;  // must not hear anything
  struct Case {
    std::string content, shown;
  };
  for (const Case& c :
       {Case{"0\n", "0"}, Case{"-1\n", "-1"},
        Case{"-" + std::to_string(bystander.pid()), "-" + std::to_string(bystander.pid())},
        Case{"32768\n", "32768"}, Case{"dhcpcd\n", "0"}, Case{"", "0"}, Case{"99999999999\n", "0"},
        Case{"\x01\x02\xff", "0"}}) {
    writePidFile("wan", c.content);
    SetupRun run = kick("wan", {"-e", "0"});
    EXPECT_EQ(run.process.exitStatus, 0);
    EXPECT_EQ(run.process.termSignal, 0);
    EXPECT_THAT(middle(run), ElementsAre("7 Invalid pid " + c.shown + "\n")) << c.content;
  }
  EXPECT_FALSE(bystander.waitForAlarm(0.5));
}

TEST_F(SetupKick, AMissingPidFileIsAnError) {
  SetupRun run = kick("eth9", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(middle(run), ElementsAre("3 Opening pid file '/var/run/dhcpcd-eth9.pid' failed"));
}

TEST_F(SetupKick, WithoutAnInterfaceNothingIsKicked) {
  FakeDhcpClient client;
  writePidFile("", std::to_string(client.pid()));  // what "-k ''" would name
  SetupRun run = kick("", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(middle(run), ElementsAre());
  EXPECT_FALSE(client.waitForAlarm(0.5));
}

TEST_F(SetupKick, RunsAfterAFullConfigurationAndAfterFailuresAlike) {
  FakeDhcpClient client;
  std::string pid = std::to_string(client.pid());
  writePidFile("eth0", pid + "\n");
  SandboxOptions sandbox;
  sandbox.runDir = varRun.path();

  modemsim::ModemSim configured({});
  SetupRun full = harness.runAgainst(configured, "show\n", {"-k", "eth0"}, sandbox);
  EXPECT_EQ(full.process.exitStatus, 0);
  EXPECT_THAT(middle(full), ElementsAre("6 Login complete\n",
                                        "7 Kicking dhcpcd with pid " + pid + " successful"));
  EXPECT_TRUE(client.waitForAlarm(10));

  modemsim::Options silent;
  silent.silent = true;
  modemsim::ModemSim dead(silent);
  SetupRun failed = harness.runAgainst(dead, "show\n", {"-k", "eth0", "-e", "2"}, sandbox);
  EXPECT_EQ(failed.process.exitStatus, 1);  // the kick leaves the failure count alone
  EXPECT_THAT(middle(failed), ElementsAre("7 Kicking dhcpcd with pid " + pid + " successful"));
  EXPECT_TRUE(client.waitForAlarm(10));
}
