// End-to-end tests of netif-rename against the real kernel. Every run of the
// program happens inside a private network namespace holding a fresh veth
// pair, so the machine's own interfaces are never within its reach.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "process.h"

using testsupport::ProcessResult;

namespace {

const char kEmulatorSkip[] =
    "the emulator does not translate SIOCSIFNAME; the rename itself is tested on the host build";

// Creates the veth pair (first, veth1), runs the program words followed by
// its arguments, then lists the namespace's interfaces after a marker line.
const char kScript[] =
    "ip link add \"$1\" type veth peer name veth1 || exit 125; shift; "
    "\"$@\"; s=$?; printf '\\n@@links\\n'; ip -o link show; exit $s";

struct NamespaceRun {
  bool ran = false;             // the namespace and the veth pair were set up
  ProcessResult proc;           // status and standard error are the program's
  std::string out;              // the program's standard output alone
  std::set<std::string> links;  // interface names left in the namespace
};

// The program path as the program itself sees it in argv[0].
std::string argv0() { return testsupport::programPath("NETIF_RENAME_PROGRAM"); }

// Runs the program with args in a new network namespace whose veth pair is
// named first/veth1.
NamespaceRun runInNamespace(const std::vector<std::string>& args,
                            const std::string& first = "veth0") {
  std::vector<std::string> argv{"unshare", "-n", "sh", "-c", kScript, "sh", first};
  for (const auto& word : testsupport::programCommand("NETIF_RENAME_PROGRAM")) argv.push_back(word);
  argv.insert(argv.end(), args.begin(), args.end());
  NamespaceRun run;
  run.proc = testsupport::runProcess(argv, 30);
  const std::string marker = "\n@@links\n";
  size_t at = run.proc.out.find(marker);
  if (at == std::string::npos) return run;
  run.ran = true;
  run.out = run.proc.out.substr(0, at);
  // Lines look like "3: veth0@veth1: <BROADCAST,...> ...".
  size_t line = at + marker.size();
  while (line < run.proc.out.size()) {
    size_t end = run.proc.out.find('\n', line);
    if (end == std::string::npos) end = run.proc.out.size();
    size_t start = run.proc.out.find(": ", line);
    if (start != std::string::npos && start < end) {
      start += 2;
      run.links.insert(run.proc.out.substr(start, run.proc.out.find_first_of("@:", start) - start));
    }
    line = end + 1;
  }
  return run;
}

std::string describe(const NamespaceRun& run) {
  return "status " + std::to_string(run.proc.exitStatus) + ", stdout '" + run.proc.out +
         "', stderr '" + run.proc.err + "'";
}

std::string reason(int error) { return std::strerror(error); }

TEST(NetifRenameKernel, RenamesInterfaceUpToFifteenBytes) {
  if (testsupport::underEmulator()) GTEST_SKIP() << kEmulatorSkip;
  for (const std::string newName : {"lan0", "abcdefghijklmno"}) {
    NamespaceRun run = runInNamespace({"veth0", newName});
    ASSERT_TRUE(run.ran) << describe(run);
    EXPECT_EQ(run.proc.exitStatus, 0) << describe(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.proc.err, "");
    EXPECT_EQ(run.links, (std::set<std::string>{"lo", newName, "veth1"})) << describe(run);
  }
}

TEST(NetifRenameKernel, ReportsKernelRefusals) {
  if (testsupport::underEmulator()) GTEST_SKIP() << kEmulatorSkip;
  const std::set<std::string> untouched{"lo", "veth0", "veth1"};

  NamespaceRun missing = runInNamespace({"nosuch0", "lan0"});
  ASSERT_TRUE(missing.ran) << describe(missing);
  EXPECT_EQ(missing.proc.exitStatus, 255);
  EXPECT_EQ(missing.proc.err, "ioctl: " + reason(ENODEV) + "\n");
  EXPECT_EQ(missing.links, untouched);

  NamespaceRun taken = runInNamespace({"veth0", "veth1"});
  ASSERT_TRUE(taken.ran) << describe(taken);
  EXPECT_EQ(taken.proc.exitStatus, 255);
  EXPECT_EQ(taken.proc.err, "ioctl: " + reason(EEXIST) + "\n");
  EXPECT_EQ(taken.links, untouched);

  // Whatever the kernel answers for a rename to the same name, status and
  // output must agree.
  NamespaceRun same = runInNamespace({"veth0", "veth0"});
  ASSERT_TRUE(same.ran) << describe(same);
  if (same.proc.exitStatus == 0) EXPECT_EQ(same.proc.err, "");
  else
    EXPECT_TRUE(same.proc.exitStatus == 255 && same.proc.err.rfind("ioctl: ", 0) == 0)
        << describe(same);
  EXPECT_EQ(same.links, untouched);
}

TEST(NetifRenameArguments, WrongCountPrintsUsage) {
  const std::vector<std::vector<std::string>> cases{{}, {"veth0"}, {"veth0", "lan0", "extra"}};
  for (const auto& args : cases) {
    NamespaceRun run = runInNamespace(args);
    ASSERT_TRUE(run.ran) << describe(run);
    EXPECT_EQ(run.proc.exitStatus, 1) << args.size() << " arguments";
    EXPECT_EQ(run.out, "Usage: " + argv0() + " old new\n");
    EXPECT_EQ(run.proc.err, "");
    EXPECT_EQ(run.links, (std::set<std::string>{"lo", "veth0", "veth1"}));
  }
}

// A sixteen-byte name cut to fifteen would reach the interface named by the
// cut: those interfaces exist here, and must come out untouched.
TEST(NetifRenameArguments, RefusesSixteenByteNames) {
  const std::string fifteen = "abcdefghijklmno", sixteen = fifteen + "p";

  NamespaceRun newTooLong = runInNamespace({"veth0", sixteen});
  ASSERT_TRUE(newTooLong.ran) << describe(newTooLong);
  EXPECT_EQ(newTooLong.proc.exitStatus, 1);
  EXPECT_EQ(newTooLong.out, "");
  EXPECT_EQ(newTooLong.proc.err,
            argv0() + ": new name '" + sixteen + "' is too long (at most 15 bytes)\n");
  EXPECT_EQ(newTooLong.links, (std::set<std::string>{"lo", "veth0", "veth1"}));

  NamespaceRun oldTooLong = runInNamespace({sixteen, "lan0"}, fifteen);
  ASSERT_TRUE(oldTooLong.ran) << describe(oldTooLong);
  EXPECT_EQ(oldTooLong.proc.exitStatus, 1);
  EXPECT_EQ(oldTooLong.out, "");
  EXPECT_EQ(oldTooLong.proc.err,
            argv0() + ": old name '" + sixteen + "' is too long (at most 15 bytes)\n");
  EXPECT_EQ(oldTooLong.links, (std::set<std::string>{"lo", fifteen, "veth1"}));
}

}  // namespace
