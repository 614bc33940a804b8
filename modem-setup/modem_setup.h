// serial-modem-setup: configures a DSL modem through its serial console.
// The settings of a run and the operations of its phases.
#pragma once

#include <termios.h>

#include <cstddef>
#include <fstream>
#include <istream>
#include <string>
#include <vector>

// Largest chunk of console output taken in one poll.
constexpr int CONSOLE_READ_MAX = 1000;
// The console's shell prompt: a line that is exactly this.
constexpr char SHELL_PROMPT[] = " > ";

// Everything a run is told on its command line, with the built-in defaults.
struct SetupOptions {
  int baudRate = 115200;
  std::string configPath = "/etc/ppp/bridge.conf";
  std::string devicePath = "/dev/dslcons0";
  bool debug = false;
  int maxErrors = 8;
  std::string kickInterface;
  std::string password = "qorvi";
  std::string username = "qorvi";
  int loginWaitUs = 500000;
  // Wait mode (-W): seconds to wait for the device and a booting modem's
  // login; 0 runs at once, as without it.
  int bootWaitSeconds = 0;
  // Seconds of quiet on a booting modem's console before a newline may go out.
  int quietSeconds = 6;
  // Texts that mark a line of a command's answer as a rejection (-a).
  std::vector<std::string> errorTexts;
  // Watch (-m, with -W): keep the port after the commands and configure the
  // modem again after each of its reboots.
  bool watch = false;
  // A text that marks a console line as the modem's boot (-B), besides its
  // bootloader's countdown and its kernel's banner.
  std::string bootText;
  // Command run with each outcome of the wait mode as its arguments (-x).
  std::string outcomeCommand;
};

// Exit statuses of the wait mode, above any count of failed commands it
// reports (at most MAX_WAIT_FAILED_COMMANDS).
constexpr int MAX_WAIT_FAILED_COMMANDS = 250;
constexpr int EXIT_DEVICE_NEVER_APPEARED = 251;
constexpr int EXIT_NOT_ANSWERING = 252;
constexpr int EXIT_LOGIN_REFUSED = 253;
// A wait or a watch ended by SIGTERM or SIGINT.
constexpr int EXIT_STOPPED = 254;

// Command line (options.cpp).

// Reads a leading decimal integer the way a stream does; 0 when there is none.
int parseInteger(const std::string& text);
// Fills options from argv; shows the usage and exits on -h or a bad option.
void parseOptions(int argc, char** argv, SetupOptions& options);
// Writes the usage text to standard error and exits with exitStatus.
[[noreturn]] void printUsage(const char* argv0, int exitStatus);

// Serial port (serial_port.cpp).

// The termios speed constant for a rate in bit/s; unknown rates get 115200.
speed_t speedCodeFor(int baudRate);
// Opens the console device non-blocking and sets it to raw 8N1; -1 on failure.
int openSerialPort(const std::string& devicePath, int baudRate);
// Waits at most 10 ms for input, then reads once: bytes read, 0 for silence
// or end of file, -1 for a failed read, -2 for a failed wait.
int readWithTimeout(int fd, char* buffer, int capacity);
// Bytes of console output waiting to be read; -1 when the device cannot tell.
int bytesWaiting(int fd);
// Milliseconds of a monotonic clock, for measuring waits.
unsigned monotonicMs();
// Writes all of data, waiting while the port is full; 0, or -1 when the port
// fails or accepts nothing for about 2 s.
int writeToPort(int fd, const char* data, size_t length);
int writeToPort(int fd, const std::string& data);

// Console text (console_text.cpp): pure judgements of a chunk of output.

// The text after the chunk's last LF, or the whole chunk without one.
std::string chunkTail(const std::string& chunk);
// How many of the chunk's LF-separated lines are exactly the shell prompt.
int countPromptLines(const std::string& chunk);
// True when one of the chunk's LF-separated lines is exactly the shell prompt.
bool hasPromptLine(const std::string& chunk);
// What the tail of a login chunk asks for.
enum class LoginTail { LoginPrompt, PasswordPrompt, ShellPrompt, Other };
LoginTail classifyLoginTail(const std::string& tail);
// True when the text's tail is one of the prompts the login answers.
bool hasLoginPromptTail(const std::string& text);
// The chunk as text: its bytes up to the first NUL.
std::string chunkText(const char* buffer, int length);
// True when a line of a command's answer holds one of the error texts and
// is not the console's echo of the command (its text, maybe after CRs and
// the prompt, with CRs at the end).
bool rejectsCommand(const std::string& line, const std::string& command,
                    const std::vector<std::string>& errorTexts);
// A console line as the log shows it: the CRs that end it left out, control
// and non-ASCII bytes as \r \t \xHH, a backslash doubled, cut at 120 bytes
// with "...".
std::string shownConsoleLine(const std::string& line);

// Reading the console (console_reader.cpp).

// How far apart, in ms, the pieces of one chunk may arrive at a line speed:
// the time 20 characters take, and at least 20 ms.
int chunkGapMs(int baudRate);
// Whether the text read so far already holds what the caller waits for.
using ChunkAwaited = bool (*)(const std::string& text);
// One chunk of console output: a poll, then, unless awaited finds what is
// waited for, more reads while output follows within gapMs of the last
// piece, up to CONSOLE_READ_MAX bytes. Results as readWithTimeout's.
int readChunk(int fd, char* buffer, int gapMs, ChunkAwaited awaited);
// Reads the prompts the console still owes for earlier newlines until none
// is owed, it has been silent for quietPolls polls, or 2 s have passed;
// traces each chunk.
void collectOwedPrompts(int fd, int owedPrompts, int gapMs, int quietPolls, bool debug);

// Phases of the run.

// Logs into the console (login.cpp); exits with 1 when the console read fails.
void runLogin(int port, const SetupOptions& options);
// Reads the next command line of a command file, skipping empty lines and
// lines that start with "#"; false at the end of the file or on a read error.
// lineNumber, when given, counts every line read, skipped ones too.
bool readCommand(std::istream& commandFile, std::string& command, int* lineNumber = nullptr);
// What the command phase did: the commands sent, those that failed, and of
// those the ones whose answer held an error text.
struct CommandTally {
  int sentCommands = 0;
  int failedCommands = 0;
  int rejectedCommands = 0;
};
// A command's answer as it arrives, judged line by line against the error
// texts; rejection is the first line that holds one (empty: none yet).
struct AnswerCheck {
  const std::vector<std::string>& errorTexts;
  const std::string& command;
  std::string partialLine;  // the text after the answer's last LF so far
  std::string rejection;
};
// Adds a chunk to the answer and judges each line it completes; with
// stopAtPrompt the chunk ends at its first line that is the shell prompt.
void checkAnswer(AnswerCheck& check, const std::string& chunk, bool stopAtPrompt);
// Sends every command of the file and counts those without a prompt back,
// and those whose answer holds one of the error texts.
void runCommandFile(int port, std::istream& commandFile, const SetupOptions& options,
                    CommandTally& tally);
// Polls for the shell prompt; the polls spent before it came, or -1. Sets
// owedPrompts to the prompts the console still owes for the newlines sent.
// With check, the output before the prompt goes to checkAnswer.
int waitForPrompt(int fd, int maxAttempts, int gapMs, int& owedPrompts,
                  AnswerCheck* check = nullptr);
// Signals the DHCP client of the interface through its pid file (dhcp_kick.cpp).
void kickDhcpClient(const std::string& interfaceName);
// The decimal text of value.
std::string formatInteger(int value);

// The wait mode's hold on the console (modem_wait.cpp, console_reader.cpp).

// What the wait mode keeps while it holds the port.
struct ConsoleSession {
  int port = -1;
  int signals = -1;      // SIGHUP, SIGTERM and SIGINT, as a descriptor
  std::string line;      // the console's current line
  std::string lastText;  // its last line that held text
  int reboots = 0;       // the modem's reboots seen so far
};
// What ended a sleep on the console.
enum class ConsoleEvent { Output, Quiet, Gone, Reload, Stop };
// Sleeps until the console has output or has gone away, timeoutMs have
// passed (< 0: no limit), or SIGHUP, SIGTERM or SIGINT came; outcome
// commands that have ended are collected first.
ConsoleEvent awaitConsole(const ConsoleSession& session, int timeoutMs);
// Blocks SIGHUP, SIGTERM and SIGINT and returns a descriptor that reads
// them; -1 on failure.
int openSignals();
// True when SIGTERM or SIGINT is waiting to be taken.
bool stopPending();

// Waits until deadlineMs (monotonicMs) for the device node, then opens it as
// openSerialPort does and takes its lock; -1 when it cannot be opened or
// another program holds it, -2 when it never appeared, -3 when stopped.
// With lookForever it keeps looking past the deadline, slowly.
int openWhenPresent(const SetupOptions& options, unsigned deadlineMs, bool lookForever = false);
// Opens the console port for the wait mode once its node is there; a watch
// waits on past the deadline. 0, or the exit status of the outcome (logged,
// and told to the outcome command when the device never appeared).
int openConsolePort(ConsoleSession& session, const SetupOptions& options, unsigned deadlineMs);
// The device went away (a hangup, a USB adapter unplugged): waits for it as
// for a late one and opens it again. 0, or the exit status of the outcome.
int reopenPort(ConsoleSession& session, const SetupOptions& options, unsigned deadlineMs);
// Logs into a console that may still be booting: listens until it is quiet,
// never sends a byte while a bootloader counts down, answers its prompts at
// once (one already on the line too), and waits for a device that goes
// away. 0 at the shell prompt, else the exit status of the outcome (logged).
int waitForLogin(ConsoleSession& session, const SetupOptions& options, unsigned deadlineMs);
// What a configuration follows: the modem's boot with the board, a reboot
// the watch saw, or a reload (SIGHUP).
enum class Occasion { Boot, Reboot, Reload };
// One configuration in the wait mode, counted from sinceMs: the login, the
// command file (read again for each after the first), the kick, the outcome line and
// command; loggedIn: the console is at its shell already. The exit status
// of the outcome.
int configureModem(ConsoleSession& session, const SetupOptions& options, std::ifstream& commandFile,
                   Occasion occasion, unsigned sinceMs, bool loggedIn = false);
// Keeps the port after the first configuration (outcome: its status) and
// configures the modem again after each reboot, until SIGTERM or SIGINT.
int watchConsole(ConsoleSession& session, const SetupOptions& options, std::ifstream& commandFile,
                 int outcome);
// The end of the wait: sinceMs plus the -W seconds.
unsigned waitDeadline(const SetupOptions& options, unsigned sinceMs);

// Locks terminal programs look for (port_lock.cpp).

// Takes the device's lock file (LCK.. and the device's name, in /var/lock);
// -1 (reported) when a running program holds it. lockFile: the file made,
// empty when the system has no lock directory.
int takeLockFile(const std::string& devicePath, std::string& lockFile);
// Removes the lock file, if it still names this process.
void releaseLockFile(const std::string& lockFile);
// Takes the exclusive flock of an open port; -1 (reported) when another
// program holds it.
int lockOpenPort(int port, const std::string& devicePath);

// The outcome command (outcome_command.cpp).

// Runs options.outcomeCommand, if any, with the outcome's event word, exit
// status ("-" when negative), the reboots seen and the last outcome line;
// does not wait for it.
void runOutcomeCommand(const SetupOptions& options, const char* event, int status, int reboots);
// Collects the outcome commands that have ended.
void collectOutcomeCommands();

// Logs an outcome line at priority, and writes it to standard error too.
void reportOutcome(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The last line reportOutcome logged.
const char* lastOutcome();

// Judging a booting modem's output (console_text.cpp).

// The console's current line after text: what a terminal shows on it, LF
// starting a new line, CR going back to its start, backspace erasing;
// at most the last CONSOLE_LINE_MAX characters, NULs left out. lastText
// keeps the last line that held text once a CR or LF leaves it.
constexpr size_t CONSOLE_LINE_MAX = 200;
void followConsoleLine(std::string& line, std::string& lastText, const char* text, int length);
// True when the line is a bootloader's countdown ("Hit any key to stop
// autoboot: 3"), which any byte received would stop.
bool isCountdownLine(const std::string& line);
// Adds text up to its first LF to the console's unfinished line; when the
// LF came, line is the finished line as a terminal showed it (empty when it
// held no text). Returns the bytes taken: the rest waits for the next call.
int takeConsoleLine(std::string& unfinished, const char* text, int length, std::string& line);
// True when a finished line shows the modem booting: its kernel's banner
// ("Linux version ..."), or the text given, if any.
bool isBootLine(const std::string& line, const std::string& bootText);
