// The pure parts of serial-modem-setup: numeric options, the speed map and
// the judgement of console text.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "modem_setup.h"

TEST(ParseInteger, ReadsALeadingDecimalNumberLikeAStream) {
  EXPECT_EQ(parseInteger("9600"), 9600);
  EXPECT_EQ(parseInteger("9600baud"), 9600);
  EXPECT_EQ(parseInteger("  38400"), 38400);
  EXPECT_EQ(parseInteger("-3"), -3);
  EXPECT_EQ(parseInteger("+7"), 7);
  EXPECT_EQ(parseInteger("0x10"), 0);
  EXPECT_EQ(parseInteger("010"), 10);  // decimal, not octal
}

TEST(ParseInteger, GivesZeroWhenThereIsNoNumber) {
  EXPECT_EQ(parseInteger(""), 0);
  EXPECT_EQ(parseInteger("abc"), 0);
  EXPECT_EQ(parseInteger("-"), 0);
  EXPECT_EQ(parseInteger("2147483648"), 0);
  EXPECT_EQ(parseInteger("-2147483649"), 0);
  EXPECT_EQ(parseInteger("2147483647"), 2147483647);
}

TEST(SpeedMap, ListedRatesGetTheirOwnCodeAndEverythingElse115200) {
  EXPECT_EQ(speedCodeFor(2400), B2400);
  EXPECT_EQ(speedCodeFor(4800), B4800);
  EXPECT_EQ(speedCodeFor(9600), B9600);
  EXPECT_EQ(speedCodeFor(19200), B19200);
  EXPECT_EQ(speedCodeFor(38400), B38400);
  EXPECT_EQ(speedCodeFor(57600), B57600);
  for (int rate : {115200, 0, -9600, 1200, 230400, 9601})
    EXPECT_EQ(speedCodeFor(rate), B115200) << rate;
}

TEST(ChunkText, StopsAtTheFirstNul) {
  const char bytes[] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ(chunkText(bytes, 4), "ab");
  EXPECT_EQ(chunkText("Login: ", 7), "Login: ");
}

TEST(ChunkTail, IsTheTextAfterTheLastLineFeed) {
  EXPECT_EQ(chunkTail("Login: "), "Login: ");
  EXPECT_EQ(chunkTail("banner\r\nLogin: "), "Login: ");
  EXPECT_EQ(chunkTail("\r\nLogin: "), "Login: ");
  EXPECT_EQ(chunkTail("Login: \r\n"), "");
  EXPECT_EQ(chunkTail("qorvi\nPassword: \r"), "Password: \r");
  EXPECT_EQ(chunkTail("a\nb\n > "), " > ");
}

TEST(PromptLine, IsFoundOnAnyLineOfTheChunk) {
  EXPECT_TRUE(hasPromptLine(" > "));
  EXPECT_TRUE(hasPromptLine("ok\r\n > "));
  EXPECT_TRUE(hasPromptLine("ok\n > \nmore text"));
  EXPECT_TRUE(hasPromptLine(" > \n"));
}

TEST(PromptLine, MustBeExactlyThePrompt) {
  EXPECT_FALSE(hasPromptLine(""));
  EXPECT_FALSE(hasPromptLine(" > \r\n"));    // CR after the prompt
  EXPECT_FALSE(hasPromptLine("ok\n\r > "));  // CR before it
  EXPECT_FALSE(hasPromptLine(" >"));         // the first piece of a split prompt
  EXPECT_FALSE(hasPromptLine(" "));          // the last piece of one
  EXPECT_FALSE(hasPromptLine("status > "));  // at the end of a longer line
  EXPECT_FALSE(hasPromptLine(" >  "));
}

// A console that fell behind answers several newlines in one chunk: each
// prompt line counts, so the run knows how many it still owes.
TEST(PromptLine, EveryPromptLineOfAChunkCounts) {
  EXPECT_EQ(countPromptLines(""), 0);
  EXPECT_EQ(countPromptLines("Saving... done\r\n > "), 1);
  EXPECT_EQ(countPromptLines(" > \n > \n > "), 3);
  EXPECT_EQ(countPromptLines(" > \r\n > "), 1);  // the first has a CR on its line
  EXPECT_EQ(countPromptLines("\n > \n >"), 1);   // the second is still cut
}

// Pieces of one answer may be as far apart as 20 characters take on the
// line, and never less than 20 ms; unlisted rates run at 115200.
TEST(ChunkGap, IsTwentyCharactersAtTheLineSpeed) {
  EXPECT_EQ(chunkGapMs(115200), 20);
  EXPECT_EQ(chunkGapMs(19200), 20);
  EXPECT_EQ(chunkGapMs(9600), 21);
  EXPECT_EQ(chunkGapMs(4800), 42);
  EXPECT_EQ(chunkGapMs(2400), 83);
  EXPECT_EQ(chunkGapMs(300), 20);
}

TEST(LoginTail, OnlyTheWholeTailNamesAPrompt) {
  EXPECT_EQ(classifyLoginTail("Login: "), LoginTail::LoginPrompt);
  EXPECT_EQ(classifyLoginTail("Password: "), LoginTail::PasswordPrompt);
  EXPECT_EQ(classifyLoginTail(" > "), LoginTail::ShellPrompt);
  for (const char* other : {"", "Login:", "Login: \r", "login: ", "Pass", "word: ", " >", "x > "})
    EXPECT_EQ(classifyLoginTail(other), LoginTail::Other) << other;
}

TEST(CommandFile, YieldsEveryLineButEmptyAndCommentLines) {
  std::istringstream file("# header\n\nshow\n   \n  # sent\n#\r\n\r\nlast");
  std::vector<std::string> commands;
  for (std::string command; readCommand(file, command);) commands.push_back(command);
  EXPECT_EQ(commands, (std::vector<std::string>{"show", "   ", "  # sent", "\r", "last"}));
  EXPECT_FALSE(file.bad());
}

// A booting modem's current line, as a terminal would show it, and whether
// it is a bootloader's countdown.
TEST(ConsoleLine, FollowsTheTerminalAndSpotsCountdowns) {
  struct Case {
    std::vector<std::string> pieces;
    std::string line;
    bool countdown;
  };
  const std::vector<Case> cases = {
      {{"boot: done\r\n\r\nLog", "in: "}, "Login: ", false},
      {{"Hit any key to stop autoboot:  3 ", "\b\b\b 2 ", "\b\b\b 1 "},
       "Hit any key to stop autoboot:  1 ",
       true},
      {{"Hit any key to stop autoboot:  1 \b\b\b 0 \r\n"}, "", false},
      {{"\rAutoboot in 3 s"}, "Autoboot in 3 s", true},
      {{"Press ESC TO ABORT"}, "Press ESC TO ABORT", true},
      {{"[ 1.0] Starting kernel", std::string("\0x", 2)}, "[ 1.0] Starting kernelx", false},
      {{std::string(300, 'a')}, std::string(CONSOLE_LINE_MAX, 'a'), false},
  };
  for (const Case& c : cases) {
    std::string line, lastText;
    for (const std::string& piece : c.pieces)
      followConsoleLine(line, lastText, piece.data(), static_cast<int>(piece.size()));
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(isCountdownLine(line), c.countdown) << line;
  }
}

// The lines a watched console finishes, as a terminal showed them, and those
// that show the modem booting (its kernel's banner, or a text given).
TEST(ConsoleLine, FinishedLinesAndTheBootTheyShow) {
  struct Case {
    std::vector<std::string> pieces;
    std::vector<std::string> finished;
    int bootLine;  // index into finished; -1: none shows a boot
  };
  const std::vector<Case> cases = {
      {{"\r\nDSL link d", "own\r\n > "}, {"DSL link down"}, -1},
      {{"Hit any key to stop autoboot:  1 \b\b\b 0 \r\n[ 0.0] Linux version 4.4 (gcc)\r\n"},
       {"Hit any key to stop autoboot:  0 ", "[ 0.0] Linux version 4.4 (gcc)"},
       1},
      {{"3\r2\r1\n", "ROM: VR9 boot\r", "\n"}, {"1", "ROM: VR9 boot"}, 1},
      {{"\r\n\r\n", std::string(500, 'x')}, {}, -1},
  };
  for (const Case& c : cases) {
    std::string unfinished;
    std::vector<std::string> finished;
    std::string line;
    for (const std::string& piece : c.pieces)
      for (int at = 0; at < static_cast<int>(piece.size());) {
        at += takeConsoleLine(unfinished, piece.data() + at, static_cast<int>(piece.size()) - at,
                              line);
        if (!line.empty()) finished.push_back(line);
      }
    EXPECT_EQ(finished, c.finished);
    EXPECT_LE(unfinished.size(), 2 * CONSOLE_LINE_MAX);
    for (size_t i = 0; i < finished.size(); ++i)
      EXPECT_EQ(isBootLine(finished[i], "ROM: "), static_cast<int>(i) == c.bootLine) << finished[i];
  }
}

// A line of a command's answer rejects it when it holds one of the texts,
// literally, unless it is the console's echo of the command: as it arrives,
// or as the console takes the line up, maybe after a CR or the prompt.
TEST(RejectsCommand, AnyTextInALineButTheEchoOfTheCommand) {
  const std::vector<std::string> texts = {"Error", "unknown command"};
  struct Case {
    const char* line;
    const char* command;
    bool rejects;
  };
  for (const Case& c : std::vector<Case>{
           {"Error: unknown command 'bridge'\r", "bridge", true},
           {"bridge: unknown command\r", "bridge", true},
           {"% Error\r", "save", true},
           {"error: lower case\r", "save", false},  // case and all
           {"Err", "save", false},
           {"", "save", false},
           {"set note Error-free\r", "set note Error-free", false},  // echo, CR LF after it
           {"set note Error-free", "set note Error-free", false},    // echo as it arrives
           {"\r > set note Error-free\r", "set note Error-free", false},
           {" > set note Error-free\r\r", "set note Error-free\r", false},  // a CR LF file
           {"set note Error-free\r", "set note Error-free\r", false},
           {" > set Error\r", " > set Error", false},  // a command that starts like the prompt
           {"set note Error-free: unknown command\r", "set note Error-free", true},
           {"x set note Error-free\r", "set note Error-free", true},
           {"set note Error\r", "set note Error-free", true},  // not the whole command
       })
    EXPECT_EQ(rejectsCommand(c.line, c.command, texts), c.rejects) << c.line;
  EXPECT_FALSE(rejectsCommand("Error: unknown command\r", "bridge", {}));
}

TEST(ShownConsoleLine, ShowsControlBytesSafelyAndCutsAt120Bytes) {
  EXPECT_EQ(shownConsoleLine("Error: unknown command 'bridge'\r"),
            "Error: unknown command 'bridge'");
  EXPECT_EQ(shownConsoleLine("a\tb\rc\x1b[0m\x7f\xff\\\r\r"), "a\\tb\\rc\\x1b[0m\\x7f\\xff\\\\");
  EXPECT_EQ(shownConsoleLine(std::string(120, 'e')), std::string(120, 'e'));
  EXPECT_EQ(shownConsoleLine(std::string(121, 'e')), std::string(120, 'e') + "...");
  // An escape that would go past the 120 bytes is left out whole.
  EXPECT_EQ(shownConsoleLine(std::string(118, 'e') + "\x01z"), std::string(118, 'e') + "...");
  EXPECT_EQ(shownConsoleLine(std::string(116, 'e') + "\x01z"), std::string(116, 'e') + "\\x01...");
}

TEST(CommandFile, NumbersCommandsByTheirLineInTheFileCommentsAndEmptyLinesIncluded) {
  std::istringstream file("# header\n\nshow\n#\r\n\r\n   \nlast");
  std::vector<int> lines;
  int lineNumber = 0;
  for (std::string command; readCommand(file, command, &lineNumber);) lines.push_back(lineNumber);
  EXPECT_EQ(lines, (std::vector<int>{3, 5, 6, 7}));
}
