// A DSL modem's management console, played on a pseudo-terminal.
//
// The simulator owns the pty master and keeps one slave descriptor open (raw
// mode), so the program under test can open and close the slave path freely
// and its line settings can be read back after it has gone; a console that
// hangs up closes both.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boot_model.h"
#include "line_model.h"
#include "modem_events.h"

namespace modemsim {

// The shell prompt the console prints when it is ready for a command.
inline const std::string SHELL_PROMPT = " > ";

// How one command is answered.
struct Reply {
  std::string output;  // output lines (LF-separated), or the raw bytes when raw
  bool raw = false;    // raw: send exactly the script, no prompt appended
  // Offsets into output (ascending) where the console pauses for
  // splitPauseMs, so the bytes after each arrive in a later chunk.
  std::vector<std::size_t> pauses;
  int timeMs = -1;  // how long the command takes; < 0: the console's lineTimeMs
  // Offsets into output (ascending) where the password received at the
  // login goes: a recording's stand-in for the modem echoing it.
  std::vector<std::size_t> passwordAt;
};

// A recorded modem's answers during its login, each list used in turn, its
// last answer again once it is used up. After an answer the console is at
// its shell when the answer ends in the prompt line, waits for a password
// when its last line asks for one, and for a user name otherwise.
struct RecordedLogin {
  std::vector<Reply> login;     // to an empty line while it waits for a user name
  std::vector<Reply> user;      // to a user name
  std::vector<Reply> password;  // to a password, right or wrong
  bool empty() const { return login.empty() && user.empty() && password.empty(); }
};

// What kind of console to play. The defaults behave like a well-mannered modem.
struct Options {
  std::string username = "qorvi";
  std::string password = "qorvi";
  std::string banner;  // sent once, before the first "Login: "
  // Output already waiting in the line when the program opens it (a prompt
  // left from an earlier session, say): sent as soon as the console starts.
  std::string leftover;
  bool atShell = false;  // already logged in: a newline gets the prompt
  bool echo = false;     // echo what it receives (never the password)
  // Echo each line only when the console takes it up, as a line editor of
  // its own does, rather than as it arrives (never the password).
  bool lineEditorEcho = false;
  bool ignoreEmptyLines = false;  // at the shell an empty line gets no answer
  bool silent = false;            // never answers anything (but still records)
  bool chatter = false;           // keeps talking, never a 10 ms pause (through
                                  // the line model; once muted, with muteAfterCommands)
  // The time the console takes over each line before its answer goes out.
  // It works through its input one line at a time: lines that arrive while
  // it is busy queue up and are answered in turn, as a shell reading its
  // input does. Echo, like a terminal's, goes out at once.
  int lineTimeMs = 0;
  int splitBytes = 0;                    // > 0: answers go out in pieces this long...
  int splitPauseMs = 40;                 // ...with this pause between the pieces
  long readBytesPerSecond = 0;           // > 0: a slow reader; 0: reads at once
  std::map<std::string, Reply> replies;  // per command; others get a prompt
  RecordedLogin recordedLogin;           // non-empty: the login answers as recorded
  // Non-empty: the n-th line received (in any state) is answered with the
  // n-th entry, sent as is; once they are used up nothing more is answered.
  std::vector<std::string> script;

  // Broken and hostile consoles.
  bool garbage = false;          // with chatter: random bytes (NUL, CR, LF, 0xFF
                                 // among them, never '>') instead of text lines
  bool splitPrompts = false;     // "Login: ", "Password: " and " > " go out cut in
                                 // the middle, two pieces splitPauseMs apart
  bool passwordForever = false;  // every password gets a new "Password: "
  // Hang up instead of answering: on the user name, or on the n-th line at
  // the shell (0: never). A hangup ends the line for good: the program's
  // reads return 0 (end of file) and its writes fail with EIO.
  bool hangUpOnUsername = false;
  int hangUpOnCommand = 0;
  int muteAfterCommands = 0;  // > 0: answers this many lines at the shell,
                              // then never anything again
  // Eager shell: the bytes of each read are a command, answered with the
  // prompt at once, before any newline; an empty line gets no answer.
  bool eager = false;
  // A console that stops reading: once stallAfterBytes bytes have arrived,
  // nothing more is read for stallMs ms (< 0: never again; 0: no stall).
  long stallAfterBytes = 0;
  int stallMs = 0;

  // The records, for huge traffic: keepTranscript false keeps no transcript
  // in memory (the live one still goes out); transcriptEventMax > 0 shows
  // only the first and last bytes of a longer event.
  bool keepTranscript = true;
  std::size_t transcriptEventMax = 0;

  // Non-empty: serve this terminal device (a serial port, the slave of
  // another program's pty) at deviceSpeed bit/s instead of a new pty.
  std::string device;
  int deviceSpeed = 115200;
  // Non-empty: a symbolic link at this path names the terminal (see
  // ModemSim::path), made when the simulator is, removed when it goes.
  std::string link;

  // How the line hands what the console sends (answers, echo, banner,
  // leftover) over to the program; the default: every write whole. Chatter
  // is noise on the line itself and goes out as it comes.
  LineSettings line;

  // The modem's own boot before the console takes over (off, its boot log,
  // an autoboot countdown); the default: up from the start. A reboot boots
  // the same way again (rebootSettings).
  BootSettings boot;
  // What the modem does on its own, each at its time from the start.
  std::vector<TimedEvent> events;
};

// Parses a reply file: lines "COMMAND => OUTPUT" (prompt appended) or
// "COMMAND =>! RAW" (sent as is). The command is taken literally; the right
// side may be empty ("cmd =>": just the prompt, "cmd =>!": no answer at all).
// "@MS" right after the arrow gives the command a time of its own
// ("save =>@1500 Saved", "reboot =>!@3000").
// Escapes in the right side: \n \r \t \\ \0 \xHH, \p for a pause of
// splitPauseMs (so the bytes after it arrive in a later chunk), and \P for
// the password received at the login (a recording's placeholder). Empty
// lines and lines starting with "#" are skipped; a later line for the same
// command replaces an earlier one.
// A recording (modem-sim --record) adds lines without an operator that
// start with "@": "@login TEXT", "@user TEXT", "@password TEXT", each
// optionally timed ("@user@30 \r\nPassword: "), the TEXT sent as is (no
// prompt appended), go to recording->recordedLogin in the order given;
// "@greeting TEXT" becomes recording->leftover. In such a TEXT a blank
// before "=>" is written \x20, or the line would be a reply. Without
// recording they are checked and left out.
// Adds to replies; returns false and sets error ("line N: ...") on a
// malformed line.
bool parseReplyFile(const std::string& text, std::map<std::string, Reply>& replies,
                    std::string& error, Options* recording = nullptr);

class ModemSim {
 public:
  explicit ModemSim(Options options);  // throws std::system_error without its terminal
  ~ModemSim();                         // stops the console and closes the pty
  ModemSim(const ModemSim&) = delete;
  ModemSim& operator=(const ModemSim&) = delete;

  std::string slavePath() const;  // e.g. /dev/pts/7; a new one after a vanish
  // What the program opens: Options::link when there is one (the same path
  // after a vanish), else slavePath().
  std::string path() const;
  int slaveFd() const;  // the simulator's own slave descriptor; -1 once hung up or vanished
  bool hungUp() const;  // the console has hung up the line (for good; not a vanish)

  void start();  // starts serving on a thread of its own
  void stop();   // stops serving; the records below stay readable

  std::string received() const;               // every byte received, in order
  std::vector<std::string> commands() const;  // lines received at the shell
  // Both directions, one event per line: <- "bytes read" and -> "bytes
  // written", with C-style escapes for anything not printable; "-- hangup"
  // where the console hung up.
  std::string transcript() const;

  // Live transcript: each event is also written to this descriptor (-1: none).
  void setTranscriptFd(int fd);

  // What the modem does on its own, now: safe to call from any thread while
  // the console serves (before start(), it happens once serving starts).
  // Each leaves a note in the transcript ("-- rebooting ...", "-- session
  // ended ...", "-- notice ...", "-- vanished ...", "-- back ..."); while
  // the console is gone (a vanish) the others are lost ("-- lost ...").
  //
  // Reboots: the session, a half-typed line and all output not yet sent
  // are gone; the modem is off and deaf for BootSettings::rebootOffMs, then
  // boots as rebootSettings says (with a countdown or none) and offers
  // "Login: " again.
  void reboot(bool countdown = false);
  // Ends the session (an idle timeout): "\r\nSession timed out\r\nLogin: ",
  // after any answer in progress; the next line is a user name. Nothing
  // while the modem boots.
  void endSession();
  // Prints text and CR LF, after any answer in progress; the console's
  // state stays as it was.
  void notice(const std::string& text);
  // The console goes away as a USB console does: the line hangs up (the
  // program's reads get the end of file, its writes EIO), the link goes,
  // and goneMs later a new terminal takes its place at the link, and the
  // modem boots as after a reboot.
  void vanish(int goneMs, bool countdown = false);

 private:
  void happenNow(const Event& event);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace modemsim
