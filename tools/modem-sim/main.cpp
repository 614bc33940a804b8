// modem-sim: plays a DSL modem's management console on a pseudo-terminal (or
// on a terminal device it is given), either for a command it runs or for
// whoever opens the path it prints; or records a real modem's console as a
// reply file (--record).
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "modem_sim.h"
#include "pty.h"
#include "recorder.h"
#include "relay.h"

namespace {

const char USAGE[] =
    "Usage: modem-sim [options] [-- command [args...]]\n"
    "       modem-sim --record file --modem device [-b rate] [-t file] [-- command ...]\n"
    "       modem-sim --relay socket [-t file] [-- command ...]\n"
    "Plays a DSL modem's management console on a pseudo-terminal (or, with -l,\n"
    "on a terminal device), or records a real one (--record),\n"
    "or relays an emulated board's serial port (--relay).\n"
    "\n"
    "  -u user    user name the console accepts (default qorvi)\n"
    "  -p pass    password the console accepts (default qorvi)\n"
    "  -B banner  text sent once, before the first \"Login: \" (default none)\n"
    "  -s         start at the shell prompt (already logged in)\n"
    "  -e         echo what arrives (never the password)\n"
    "  -T         echo each line only when the console takes it up, as a line\n"
    "             editor of its own does (never the password)\n"
    "  -i         at the shell, answer an empty line with nothing at all\n"
    "  -d ms      time the console takes over each line it receives; lines\n"
    "             that arrive meanwhile queue up and are answered in turn\n"
    "             (default 0: at once)\n"
    "  -S bytes   send answers in pieces of this many bytes (default: whole)\n"
    "  -P ms      pause between pieces (default 40)\n"
    "  -n         never answer anything (still records what arrives)\n"
    "  -c         chatter: keep sending lines of noise, never 10 ms quiet;\n"
    "             with -M at the line's own pace, with -m only once the\n"
    "             console has fallen mute\n"
    "  -r file    canned replies, one per line: COMMAND => OUTPUT (prompt\n"
    "             appended) or COMMAND =>! RAW (sent as is); =>@MS or =>!@MS\n"
    "             give the command a time of its own instead of -d; escapes\n"
    "             \\n \\r \\t \\\\ \\0 \\xHH, \\p for a pause between pieces, \\P\n"
    "             for the password received at the login; a recording's\n"
    "             @login, @user, @password TEXT lines answer the login, in\n"
    "             turn, and @greeting TEXT is sent first\n"
    "  -R rate    read at most this many bytes per second (default: no limit)\n"
    "  -g         chatter binary garbage: random bytes with NUL, CR, LF and\n"
    "             0xFF among them, never '>' (implies -c)\n"
    "  -j         send each prompt cut in its middle, two pieces -P ms apart\n"
    "  -a         ask for the password again and again, whatever it is\n"
    "  -U         hang up on the user name\n"
    "  -C n       hang up on the n-th line at the shell (default 0: never)\n"
    "  -m n       answer n lines at the shell, then nothing ever again\n"
    "             (default 0: no limit)\n"
    "  -E         eager shell: answer the bytes of each read with the prompt\n"
    "             at once, before any newline; empty lines get no answer\n"
    "  -X bytes   stop reading once this many bytes have arrived...\n"
    "  -Y ms      ...for this long (default: for good); -Y alone: from the start\n"
    "  -t file    write the transcript to file (default: standard error)\n"
    "  -L bytes   show at most this many bytes of each transcript event\n"
    "             (default 0: all of it)\n"
    "  -l device  serve this terminal device (a serial port, the slave of\n"
    "             another program's pty) instead of a new pty: raw 8N1,\n"
    "             clocal, no flow control\n"
    "  -b rate    with -l or --modem: the line speed in bit/s (default 115200)\n"
    "  -M model   how the line hands over what the console sends (answers, echo,\n"
    "             banner), with -l too:\n"
    "               whole      every write in one piece (the default)\n"
    "               uart:RATE[:TRIGGER]\n"
    "                          an on-board UART: bytes at RATE bit/s (10 bits a\n"
    "                          byte), handed over TRIGGER at a time (default 8, a\n"
    "                          16550A's or PL011's receive trigger; 1: every\n"
    "                          byte), the rest after 4 character times of quiet\n"
    "               usb[:TICK_MS[:PHASE_MS]]\n"
    "                          a USB serial adapter: bytes arrive at 115200 bit/s,\n"
    "                          and what it holds goes out at each tick of its\n"
    "                          latency timer (default 16 ms, FTDI's) or once 62\n"
    "                          bytes fill a packet; the ticks fall PHASE_MS\n"
    "                          (default 0) after the console starts\n"
    "               cut:MAX_MS[:SEED]\n"
    "                          each write cut at 1 to 3 random places, the pieces\n"
    "                          1 to MAX_MS ms apart (SEED default 1: repeatable)\n"
    "  -h         show this help\n"
    "\n"
    "  --power-on ms     the modem is off when modem-sim starts and powers on\n"
    "                    this much later: silent until then, and whatever\n"
    "                    arrives is lost; its console offers \"Login: \" once it\n"
    "                    has booted (default 0: up from the start)\n"
    "  --boot-log bytes  the boot log it prints as it powers on, through the -M\n"
    "                    line (default 0); what arrives meanwhile is lost; the\n"
    "                    kernel's banner (\"Linux version ...\") starts its\n"
    "                    second quarter\n"
    "  --autoboot s      a bootloader countdown of s seconds after the boot\n"
    "                    log's first quarter (\"Hit any key to stop autoboot:  3\",\n"
    "                    counting down): any byte received during it stops the\n"
    "                    boot for good, and the modem stays at its bootloader\n"
    "                    prompt (\"=> \") and never offers its login; the\n"
    "                    transcript says so (\"-- autoboot stopped ...\")\n"
    "  --silent-countdown  the countdown shows its line once, then counts in\n"
    "                    silence, as a bootloader that prints no seconds\n"
    "\n"
    "  --at ms:event     the modem does this on its own ms after the start\n"
    "                    (repeatable); event is one of:\n"
    "                      reboot     the session is gone; off and deaf for\n"
    "                                 --reboot-off ms, then the boot log again\n"
    "                                 (--boot-log bytes, 1000 without it; its\n"
    "                                 kernel banner \"Linux version ...\" in it)\n"
    "                                 and \"Login: \"\n"
    "                      reboot-countdown  the same with a bootloader\n"
    "                                 countdown (--autoboot s, 2 without it)\n"
    "                      logout     ends the session: \"Session timed out\"\n"
    "                                 and \"Login: \", the console at its login\n"
    "                      notice:TEXT  prints TEXT and CR LF, state unchanged\n"
    "                      vanish:MS  the terminal goes away (the line hangs up,\n"
    "                                 the --link goes) for MS ms, then a new\n"
    "                                 one at the --link, and a reboot\n"
    "                      vanish-countdown:MS  the same, booting with a countdown\n"
    "                    SIGUSR1 reboots with a countdown and SIGUSR2 ends the\n"
    "                    session, at any time; the transcript notes each event\n"
    "                    (\"-- rebooting ...\", \"-- session ended ...\",\n"
    "                    \"-- notice: ...\", \"-- vanished ...\", \"-- back ...\")\n"
    "  --reboot-off ms   how long a reboot keeps the modem off (default 300)\n"
    "  --link path       a symbolic link at path to the console's terminal,\n"
    "                    pointed at each new one after a vanish: \"{}\" and the\n"
    "                    path printed are the link (default: none); a file\n"
    "                    other than a link there is an error\n"
    "\n"
    "  --record file   record a real modem instead of playing one: forward\n"
    "                  every byte between the program's pty and --modem's\n"
    "                  device, unchanged and at once, and write file as a reply\n"
    "                  file (-r plays it back): each line's answer up to its\n"
    "                  prompt, its time, the login's answers; the password the\n"
    "                  program sent is never written (\\P stands for it)\n"
    "  --modem device  the modem's serial port, set up as -l sets up its device\n"
    "\n"
    "  --relay socket  relay an emulated board's serial port instead of playing\n"
    "                  a modem: listen on a new unix socket at this path for the\n"
    "                  port to connect to (qemu -chardev socket,server=off,...);\n"
    "                  what the program sends before the board's first output\n"
    "                  byte reaches it is lost, as on a board whose UART its\n"
    "                  bootloader sets up; from then on every byte goes\n"
    "                  through, unchanged and at once. Each board that connects\n"
    "                  powers on afresh. The transcript gives each event its\n"
    "                  time in ms since the start: <- what the board got, ->\n"
    "                  what it printed, -- dropped, -- connected,\n"
    "                  -- disconnected\n"
    "\n"
    "With a command, every \"{}\" in its arguments becomes the pty path (or the\n"
    "-l device; with --record or --relay, the program's own pty); the command\n"
    "runs against the console and modem-sim exits with its status. Without one,\n"
    "modem-sim prints that path and serves until SIGINT or SIGTERM.\n"
    "\n"
    "Exit status: the command's; 0 after a signal without one; 2 when modem-sim\n"
    "cannot start (a bad option, a device that is missing or no terminal, a\n"
    "recording file that cannot be written, a --relay socket that cannot be\n"
    "made) or, with --record, when the recording could not be written at the\n"
    "end (the modem hung up, say): then no file is left behind.\n";

// A problem with the command line: reported with the usage, status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Any other reason not to start: reported alone, status 2.
struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Invocation {
  modemsim::Options options;
  std::string transcriptPath;
  std::string recordPath;   // --record: record a real modem into this file
  std::string modemDevice;  // --modem: the real modem's serial port
  std::string relaySocket;  // --relay: the socket an emulated board's serial port connects to
  std::vector<std::string> command;
  bool help = false;
};

long parseCount(const char* text, const std::string& option, long max) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < 0 || value > max) {
    throw UsageError(std::string("bad value '") + text + "' for " + option +
                     " (a whole number, 0 or more)");
  }
  return value;
}

long parseCount(const char* text, char option, long max) {
  return parseCount(text, std::string("-") + option, max);
}

int parseInt(const char* text, char option) {
  return static_cast<int>(parseCount(text, option, INT_MAX));
}

void loadReplies(const std::string& path, modemsim::Options& options) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  if (!file || !(text << file.rdbuf())) {
    throw SetupError("cannot read reply file '" + path + "': " + std::strerror(errno));
  }
  std::string error;
  if (!modemsim::parseReplyFile(text.str(), options.replies, error, &options)) {
    throw SetupError(path + ": " + error);
  }
}

Invocation parseArguments(int argc, char** argv) {
  Invocation run;
  modemsim::Options& o = run.options;
  opterr = 0;
  // "+": options end at the command, so its own options stay its own.
  int option;
  bool stall = false;
  int stallMs = -1;  // for good, unless -Y says otherwise
  bool speedGiven = false;
  std::string consoleOption;  // the first option that shapes the console played
  enum {
    Record = 256,
    Modem,
    RelaySocket,
    PowerOn,
    BootLog,
    Autoboot,
    SilentCountdown,
    At,
    RebootOff,
    Link
  };
  const struct option longOptions[] = {{"record", required_argument, nullptr, Record},
                                       {"modem", required_argument, nullptr, Modem},
                                       {"relay", required_argument, nullptr, RelaySocket},
                                       {"power-on", required_argument, nullptr, PowerOn},
                                       {"boot-log", required_argument, nullptr, BootLog},
                                       {"autoboot", required_argument, nullptr, Autoboot},
                                       {"silent-countdown", no_argument, nullptr, SilentCountdown},
                                       {"at", required_argument, nullptr, At},
                                       {"reboot-off", required_argument, nullptr, RebootOff},
                                       {"link", required_argument, nullptr, Link},
                                       {nullptr, 0, nullptr, 0}};
  while ((option = getopt_long(argc, argv, "+:u:p:B:seTid:S:P:ncr:R:gjaUC:m:EX:Y:t:L:l:b:M:h",
                               longOptions, nullptr)) != -1) {
    if (consoleOption.empty() && option < 256 && !std::strchr("tbh:?", option)) {
      consoleOption = std::string("-") + char(option);
    }
    if (consoleOption.empty() && option > RelaySocket) {
      consoleOption = std::string("--") + longOptions[option - Record].name;
    }
    switch (option) {
      case Record: run.recordPath = optarg; break;
      case Modem: run.modemDevice = optarg; break;
      case RelaySocket: run.relaySocket = optarg; break;
      case PowerOn:
        o.boot.powerOnMs = static_cast<int>(parseCount(optarg, "--power-on", INT_MAX));
        break;
      case BootLog:
        o.boot.logBytes = static_cast<std::size_t>(parseCount(optarg, "--boot-log", 1 << 24));
        break;
      case Autoboot:
        o.boot.autobootSeconds = static_cast<int>(parseCount(optarg, "--autoboot", 60));
        break;
      case SilentCountdown: o.boot.silentCountdown = true; break;
      case At: {
        modemsim::TimedEvent timed;
        std::string error;
        if (!modemsim::parseTimedEvent(optarg, timed, error)) {
          throw UsageError(std::string("bad value '") + optarg + "' for --at (" + error + ")");
        }
        o.events.push_back(std::move(timed));
        break;
      }
      case RebootOff:
        o.boot.rebootOffMs = static_cast<int>(parseCount(optarg, "--reboot-off", INT_MAX));
        break;
      case Link: o.link = optarg; break;
      case 'u': o.username = optarg; break;
      case 'p': o.password = optarg; break;
      case 'B': o.banner = optarg; break;
      case 's': o.atShell = true; break;
      case 'e': o.echo = true; break;
      case 'T': o.lineEditorEcho = true; break;
      case 'i': o.ignoreEmptyLines = true; break;
      case 'd': o.lineTimeMs = parseInt(optarg, 'd'); break;
      case 'S': o.splitBytes = parseInt(optarg, 'S'); break;
      case 'P': o.splitPauseMs = parseInt(optarg, 'P'); break;
      case 'n': o.silent = true; break;
      case 'c': o.chatter = true; break;
      case 'r': loadReplies(optarg, o); break;
      case 'R': o.readBytesPerSecond = parseCount(optarg, 'R', LONG_MAX); break;
      case 'g': o.chatter = o.garbage = true; break;
      case 'j': o.splitPrompts = true; break;
      case 'a': o.passwordForever = true; break;
      case 'U': o.hangUpOnUsername = true; break;
      case 'C': o.hangUpOnCommand = parseInt(optarg, 'C'); break;
      case 'm': o.muteAfterCommands = parseInt(optarg, 'm'); break;
      case 'E': o.eager = true; break;
      case 'X':
        o.stallAfterBytes = parseCount(optarg, 'X', LONG_MAX);
        stall = true;
        break;
      case 'Y':
        stallMs = parseInt(optarg, 'Y');
        stall = true;
        break;
      case 't': run.transcriptPath = optarg; break;
      case 'L':
        o.transcriptEventMax = static_cast<std::size_t>(parseCount(optarg, 'L', LONG_MAX));
        break;
      case 'l': o.device = optarg; break;
      case 'b':
        o.deviceSpeed = parseInt(optarg, 'b');
        if (!modemsim::isLineSpeed(o.deviceSpeed)) {
          throw UsageError(std::string("bad value '") + optarg +
                           "' for -b (a line speed: 1200, 2400, ... 115200, ... 921600)");
        }
        speedGiven = true;
        break;
      case 'M': {
        std::string error;
        if (!modemsim::parseLineSettings(optarg, o.line, error)) {
          throw UsageError(std::string("bad value '") + optarg + "' for -M (" + error + ")");
        }
        break;
      }
      case 'h': run.help = true; break;
      case ':':
        if (optopt >= 256) throw UsageError(std::string(argv[optind - 1]) + " needs a value");
        throw UsageError(std::string("option -") + char(optopt) + " needs a value");
      default:
        if (optopt == 0) throw UsageError(std::string("unknown option ") + argv[optind - 1]);
        throw UsageError(std::string("unknown option -") + char(optopt));
    }
  }
  if (run.recordPath.empty() != run.modemDevice.empty()) {
    throw UsageError("--record FILE and --modem DEVICE go together");
  }
  if (!run.recordPath.empty() && !consoleOption.empty()) {
    throw UsageError(consoleOption + " shapes a played console; --record plays none");
  }
  if (!run.relaySocket.empty() && !run.recordPath.empty()) {
    throw UsageError("--relay and --record go one at a time");
  }
  if (!run.relaySocket.empty() && !consoleOption.empty()) {
    throw UsageError(consoleOption + " shapes a played console; --relay plays none");
  }
  if (speedGiven && o.device.empty() && run.modemDevice.empty()) {
    throw UsageError("-b is the line speed of a -l device");
  }
  // A stall of 0 ms is no stall at all.
  if (stall) o.stallMs = stallMs;
  // The transcript goes out live; keeping a copy in memory would only grow.
  o.keepTranscript = false;
  run.command.assign(argv + optind, argv + argc);
  return run;
}

std::string withPath(std::string arg, const std::string& path) {
  for (std::size_t at = arg.find("{}"); at != std::string::npos;
       at = arg.find("{}", at + path.size())) {
    arg.replace(at, 2, path);
  }
  return arg;
}

int statusOf(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return WEXITSTATUS(waitStatus);
}

void onChild(int) {}

// What SIGUSR1 and SIGUSR2 make the console do; none for --record and --relay.
using EventSignal = std::function<void(int signal)>;

// The signals that end modem-sim, and those that make the modem do something.
sigset_t servingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&signals, signal);
  return signals;
}

// Runs the command against the console; returns its exit status.
// SIGINT, SIGTERM, SIGUSR1, SIGUSR2 and SIGCHLD are blocked in every thread
// when this runs.
int runCommand(const std::vector<std::string>& command, const std::string& slavePath,
               const sigset_t& originalMask, const EventSignal& onEvent) {
  // Everything the child needs is ready before fork: it only calls exec.
  std::vector<std::string> args;
  args.reserve(command.size());
  for (const std::string& arg : command) args.push_back(withPath(arg, slavePath));
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The child reports a failed exec through this pipe; a successful exec
  // closes it.
  int execReport[2];
  if (pipe2(execReport, O_CLOEXEC) < 0) throw SetupError(std::strerror(errno));
  pid_t child = fork();
  if (child < 0) throw SetupError(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    execvp(argv[0], argv.data());
    int error = errno;
    (void)!write(execReport[1], &error, sizeof error);
    _exit(127);
  }
  close(execReport[1]);
  int execError = 0;
  ssize_t got;
  do {
    got = read(execReport[0], &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  close(execReport[0]);

  if (got == sizeof execError) {
    std::cerr << "modem-sim: cannot run '" << args[0] << "': " << std::strerror(execError) << "\n";
  }

  sigset_t waitFor = servingSignals();
  sigaddset(&waitFor, SIGCHLD);
  for (;;) {
    int waitStatus = 0;
    if (waitpid(child, &waitStatus, WNOHANG) == child) {
      return got == sizeof execError ? 127 : statusOf(waitStatus);
    }
    int signal = 0;
    sigwait(&waitFor, &signal);
    // Interrupting modem-sim interrupts the dry run: pass it on.
    if (signal == SIGINT || signal == SIGTERM) kill(child, signal);
    if ((signal == SIGUSR1 || signal == SIGUSR2) && onEvent) onEvent(signal);
  }
}

int serveUntilSignal(const std::string& slavePath, const EventSignal& onEvent) {
  std::cout << slavePath << std::endl;
  const sigset_t signals = servingSignals();
  for (;;) {
    int signal = 0;
    sigwait(&signals, &signal);
    if (signal == SIGINT || signal == SIGTERM) return 0;
    if (onEvent) onEvent(signal);
  }
}

int run(int argc, char** argv) {
  Invocation invocation = parseArguments(argc, argv);
  if (invocation.help) {
    std::cout << USAGE;
    return 0;
  }

  int transcriptFd = STDERR_FILENO;
  if (!invocation.transcriptPath.empty()) {
    transcriptFd =
        open(invocation.transcriptPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (transcriptFd < 0) {
      throw SetupError("cannot write transcript '" + invocation.transcriptPath +
                       "': " + std::strerror(errno));
    }
  }

  // Signals are taken with sigwait: block them before the serving thread
  // starts, so it inherits the mask and never takes one itself.
  struct sigaction childAction = {};
  childAction.sa_handler = onChild;  // a handler, so SIGCHLD is never discarded
  sigaction(SIGCHLD, &childAction, nullptr);
  sigset_t blocked = servingSignals(), originalMask;
  sigaddset(&blocked, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &blocked, &originalMask);

  if (!invocation.recordPath.empty()) {
    modemsim::Recorder recorder(invocation.recordPath, invocation.modemDevice,
                                invocation.options.deviceSpeed);
    recorder.setTranscriptFd(transcriptFd);
    recorder.start();
    int status = invocation.command.empty()
                     ? serveUntilSignal(recorder.slavePath(), nullptr)
                     : runCommand(invocation.command, recorder.slavePath(), originalMask, nullptr);
    recorder.save();
    return status;
  }

  if (!invocation.relaySocket.empty()) {
    modemsim::Relay relay(invocation.relaySocket);
    relay.setTranscriptFd(transcriptFd);
    relay.start();
    int status = invocation.command.empty()
                     ? serveUntilSignal(relay.slavePath(), nullptr)
                     : runCommand(invocation.command, relay.slavePath(), originalMask, nullptr);
    relay.stop();
    return status;
  }

  modemsim::ModemSim sim(invocation.options);
  sim.setTranscriptFd(transcriptFd);
  sim.start();
  // SIGUSR1: the modem reboots (with a countdown); SIGUSR2: it ends the session.
  auto onEvent = [&sim](int signal) {
    if (signal == SIGUSR1) sim.reboot(true);
    else sim.endSession();
  };
  int status = invocation.command.empty()
                   ? serveUntilSignal(sim.path(), onEvent)
                   : runCommand(invocation.command, sim.path(), originalMask, onEvent);
  sim.stop();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "modem-sim: " << e.what() << "\n\n" << USAGE;
  } catch (const std::exception& e) {
    std::cerr << "modem-sim: " << e.what() << "\n";
  }
  return 2;
}
