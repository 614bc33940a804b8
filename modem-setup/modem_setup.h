// serial-modem-setup: configures a DSL modem through its serial console.
// The settings of a run and the operations of its phases.
#pragma once

#include <termios.h>

#include <cstddef>
#include <istream>
#include <string>

// Largest chunk of console output taken in one poll.
constexpr int CONSOLE_READ_MAX = 1000;

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
};

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
// Writes all of data, waiting while the port is full; 0, or -1 when the port
// fails or accepts nothing for about 2 s.
int writeToPort(int fd, const char* data, size_t length);
int writeToPort(int fd, const std::string& data);

// Console text (console_text.cpp): pure judgements of a chunk of output.

// The text after the chunk's last LF, or the whole chunk without one.
std::string chunkTail(const std::string& chunk);
// True when one of the chunk's LF-separated lines is exactly the shell prompt.
bool hasPromptLine(const std::string& chunk);
// What the tail of a login chunk asks for.
enum class LoginTail { LoginPrompt, PasswordPrompt, ShellPrompt, Other };
LoginTail classifyLoginTail(const std::string& tail);
// The chunk as text: its bytes up to the first NUL.
std::string chunkText(const char* buffer, int length);

// Phases of the run.

// Logs into the console (login.cpp); exits with 1 when the console read fails.
void runLogin(int port, const SetupOptions& options);
// Reads the next command line of a command file, skipping empty lines and
// lines that start with "#"; false at the end of the file or on a read error.
bool readCommand(std::istream& commandFile, std::string& command);
// Sends every command of the file and counts those without a prompt back.
void runCommandFile(int port, std::istream& commandFile, const SetupOptions& options,
                    int& failedCommands);
// Polls for the shell prompt; the polls spent before it came, or -1.
int waitForPrompt(int fd, int maxAttempts);
// Signals the DHCP client of the interface through its pid file (dhcp_kick.cpp).
void kickDhcpClient(const std::string& interfaceName);
// The decimal text of value.
std::string formatInteger(int value);
