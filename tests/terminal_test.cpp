// What a person at a terminal sees: the program run on a pseudo-terminal and typed at.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>
#if __has_include(<sys/prctl.h>) && __has_include(<linux/capability.h>)
#include <linux/capability.h>
#include <sys/prctl.h>
#endif

#include <gtest/gtest.h>

#include "capture.h"
#include "child.h"

namespace {

#ifdef SHIM
constexpr const char* shim = SHIM;
#else
constexpr const char* shim = "";
#endif

// A new pseudo-terminal: returns the side a person sees, and sets screen to the side programs are
// given. Both are closed on exec. Returns -1 on failure.
int open_terminal(int& screen)
{
    const int terminal = close_on_exec(posix_openpt(O_RDWR | O_NOCTTY));
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        return -1;
    screen = close_on_exec(open(ptsname(terminal), O_RDWR | O_NOCTTY));
    return screen >= 0 ? terminal : -1;
}

// Makes the terminal the controlling terminal of the calling process, a session leader: opening it
// is enough on Linux, the BSDs and macOS also want TIOCSCTTY.
void take_as_controlling_terminal(int terminal)
{
    [[maybe_unused]] const int screen = open(ptsname(terminal), O_RDWR);
#ifdef TIOCSCTTY
    ioctl(screen, TIOCSCTTY, 0);
#endif
}

// Adds what the terminal shows to screen until it shows expected after from, the program closes
// it, or nothing arrives for five seconds. Returns where expected ends, or npos when it never came.
std::size_t shows(int terminal, std::string& screen, std::size_t from, const std::string& expected)
{
    char buffer[4096];
    while (screen.find(expected, from) == std::string::npos) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1)
            return std::string::npos;
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0)
            return std::string::npos;
        screen.append(buffer, static_cast<std::size_t>(got));
    }
    return screen.find(expected, from) + expected.size();
}

// The terminal turns each newline the program writes into a carriage return and a newline.
std::string as_shown(std::string text)
{
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        text.insert(at, 1, '\r');
    return text;
}

// An interactive shell's job: bash runs script, with the program as $0, the shim, where there is
// one, as $1 and the name of a terminal of no session as $2, on a terminal of its own session. Each
// step types keys, reads nothing for a while, then reads until the screen shows what it must.
struct step {
    std::string keys;
    std::string shown;
    int unread_ms = 0;
};

struct shell_session {
    const char* name;
    std::string script;
    std::vector<step> steps;
};

void PrintTo(const shell_session& s, std::ostream* os) { *os << s.name; }

class Shell : public testing::TestWithParam<shell_session> {};

TEST_P(Shell, ShowsWhatTheUserExpects)
{
    int screen = -1;
    const int elsewhere = open_terminal(screen);
    close(screen);
    const int terminal = open_terminal(screen);
    ASSERT_GE(std::min(terminal, elsewhere), 0);
    const group_guard shell{fork()};
    ASSERT_GE(shell.leader, 0);
    if (shell.leader == 0) {
        end_with_parent();
        setsid();
        take_as_controlling_terminal(terminal);
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            dup2(screen, fd);
        // A program that spins is ended by its CPU time; closing the terminal ends the rest.
        const std::string script = std::string("ulimit -t 20; set -m; ") + GetParam().script;
        execlp("bash", "bash", "-c", script.c_str(), QUARNEL, shim, ptsname(elsewhere), nullptr);
        _exit(127);
    }
    std::string shown;
    std::size_t seen = 0;
    for (const step& s : GetParam().steps) {
        ASSERT_EQ(write(terminal, s.keys.data(), s.keys.size()), ssize_t(s.keys.size()));
        pause_ms(s.unread_ms);
        seen = shows(terminal, shown, seen, s.shown);
        ASSERT_NE(seen, std::string::npos) << "never shown: " << s.shown << "\nshown:\n" << shown;
    }
    // The program writes and reads through a descriptor of its own: the shell's stays blocking.
    EXPECT_EQ(fcntl(screen, F_GETFL) & O_NONBLOCK, 0);
    close(screen);
    close(terminal);
    close(elsewhere);
}

const std::string menu = as_shown(golden("menu.txt"));
// Shows what became of the jobs soon after; the test ends as soon as it has seen it.
const std::string settled = "sleep 0.3; jobs; sleep 2; jobs";
// Waits until the job in the background has stopped.
const std::string once_stopped = "until [ -n \"$(jobs -s)\" ]; do sleep 0.05; done; ";

// Under `stty tostop` a job in the background that writes to the terminal is stopped by it, so a
// job killed there must end without writing: `kill` sends the signal, then a continue. With the
// screen unread and the terminal full, Ctrl-Z stops the program in the middle of a line.
INSTANTIATE_TEST_SUITE_P(
    Terminal, Shell,
    testing::Values(
        shell_session{"KilledAfterCtrlZWhileDrawing",
                      "stty tostop noflsh; \"$0\"; kill %1; " + settled,
                      {{"", menu},
                       {repeated("1 ", 500) + "\n", "\033[34m"},
                       {"", "", 300},
                       {"\x1a", "Terminated", 500}}},
        shell_session{"PromptAgainAfterFgAndEndOfInput",
                      "ulimit -t 1; \"$0\"; fg; echo \"status $?\"",
                      {{"", menu},
                       {"1\n", "1\r\n" + as_shown(golden("christmas.txt")) + menu},
                       {"\x1a", "Stopped"},
                       {"", "\r\nIhre Aktion: "},
                       {"", "", 1500},
                       {"\x04", "\r\nstatus 0\r\n"}}},
        shell_session{"InTheBackground",
                      "\"$0\" < <(yes 1) & read -r; kill %1; sleep 0.3; jobs; \"$0\" > \"$2\" & " +
                          once_stopped +
                          "jobs; fg; echo \"status $?\"; stty tostop; \"$0\" < <(yes 1 " +
                          "| head -n 300) & " + once_stopped + "kill -HUP %1; " + settled,
                      {{"", "\033[34m"},
                       {"\n", "\033[0m[1]+  Terminated"},
                       {"", "[1]+  Stopped"},
                       {"q\n", "status 0"},
                       {"", "Hangup"}}},
        shell_session{"ResetAfterMoreMenusThanTheBufferHolds",
                      "\"$0\"",
                      {{"", menu},
                       {"1" + repeated(" x", 50) + "\n",
                        as_shown(golden("christmas.txt")) + repeated(menu, 51)},
                       {"\x03", "\033[0m"}}},
        shell_session{"ClosedPipe",
                      "for pipe in default ''; do trap \"$pipe\" PIPE; (sleep 0.2; exec \"$0\") "
                      "< /dev/null | exec <&-; echo \"status ${PIPESTATUS[0]}\"; done",
                      {{"", "status 141\r\nquarnel: write error: Broken pipe\r\nstatus 1\r\n"}}},
        shell_session{
            "NobodyTypes",
            "\"$0\" <&-; echo \"status $?\"; \"$0\" 2>&- < /; echo \"status $?\"; \"$0\" <<< 1 "
            "> /dev/ptmx; echo \"status $?\"; stty -icanon min 0 time 5; \"$0\"",
            {{"", menu + "\r\nquarnel: read error: Bad file descriptor\r\nstatus 1\r\n" + menu +
                      "\r\nstatus 1\r\nstatus 0\r\n" + menu + "\r\n"}}}),
    [](const testing::TestParamInfo<shell_session>& info) { return info.param.name; });

#ifdef SHIM
// The Christmas gnome from its chin on, and the menu after it.
const std::string after_the_face =
    as_shown(golden("christmas.txt").substr(golden("christmas.txt").find("    \\(_.-(_)-._)/")) +
             golden("menu.txt"));

// Runs the program with the shim acting as it says.
std::string with_shim(std::string acting) { return "LD_PRELOAD=\"$1\" SHIM=" + acting + " \"$0\""; }

// Where macOS's poll answers at once for a terminal, the program still waits at its prompt without
// using up its CPU time. Instants no test could time, landed by the shim: a continue while the
// colour is taken away for a stop takes the stop back, so the prompt is not shown again; nor is it
// after a stop in the middle of a picture; SIGTERM after main has returned ends the program by it.
INSTANTIATE_TEST_SUITE_P(
    TerminalWithShim, Shell,
    testing::Values(shell_session{"WaitsAtThePromptWithMacosPoll",
                                  "ulimit -t 1; stty -icanon; " + with_shim("macos-poll") +
                                      "; echo \"status $?\"",
                                  {{"", menu}, {"", "", 1500}, {"q\n", "q^Jstatus 0\r\n"}}},
                    shell_session{"ContinuedWhileTheColourIsTakenAway",
                                  with_shim("continue-in-reset") + "; echo \"status $?\"",
                                  {{"", menu},
                                   {"1\n", as_shown(golden("christmas.txt")) + menu},
                                   {"\x1a", "", 300},
                                   {"q\n", "\033[0mq\r\nstatus 0\r\n"}}},
                    shell_session{"StoppedInTheMenuShowsThePromptOnceMore",
                                  with_shim("stop-in-menu") + "; fg",
                                  {{"", "Stopped"}, {"", "", 300}, {"q\n", "\nIhre Aktion: q\r"}}},
                    shell_session{"StoppedInAPictureGoesOnWithoutThePrompt",
                                  with_shim("stop-in-face") + "; fg; echo \"status $?\"",
                                  {{"", menu},
                                   {"1\n", "Stopped"},
                                   {"", "\r\n" + after_the_face},
                                   {"\x04", "\r\nstatus 0\r\n"}}},
                    shell_session{"InterruptedJustBeforeAWait",
                                  "set +m; " + with_shim("interrupt-before-wait") + "; echo $?",
                                  {{"", menu + "130\r\n"}}},
                    shell_session{"TerminatedAfterMain",
                                  with_shim("terminate-at-exit") + " <<< q; echo \"status $?\"",
                                  {{"", menu}, {"", "status 143\r\n"}}}),
    [](const testing::TestParamInfo<shell_session>& info) { return info.param.name; });
#endif

// What a terminal makes of the program's output: each character shown, with the SGR code it is
// shown in, and the code in force at the end. An escape cuts short a sequence begun before it.
struct seen {
    std::vector<std::pair<char, int>> characters;
    int colour = 0;
};

seen as_seen(const std::string& shown)
{
    seen result;
    enum { text, escape, sequence } state = text;
    int code = 0;
    for (const char c : shown) {
        if (c == '\033') {
            state = escape;
            code = 0;
        } else if (state == escape) {
            state = c == '[' ? sequence : text;
        } else if (state == sequence && c >= '0' && c <= '9') {
            code = code * 10 + (c - '0');
        } else if (state == sequence) {
            if (c == 'm')
                result.colour = code;
            state = text;
        } else if (c != '\r') {
            result.characters.emplace_back(c, result.colour);
        }
    }
    return result;
}

// Whether a signal after the first shown characters expected came in colour: those on both sides.
bool came_in_colour(const seen& expected, std::size_t shown)
{
    return shown > 0 && shown < expected.characters.size() &&
           expected.characters[shown - 1].second != 0 && expected.characters[shown].second != 0;
}

// Whose session the program runs in: the test's, as a job of its own; one of its own, with another
// terminal as its controlling terminal (an orphaned job, which the kernel does not stop); or one of
// its own on its own terminal, which is another user's: its name cannot be opened.
enum class session { tests, on_another_terminal, as_another_user };

// What is done to the program at its terminal, word by word: a signal ("TSTP"), a pause in ms,
// "read" to read the screen from then on, "full" to stop reading and fill the terminal up (with
// carriage returns, which show nothing), "cut" to read until a colour shows and then throw away
// what the terminal has not shown yet (as Ctrl-C does), "hangup" to close the terminal, "all" to
// read until the whole picture is shown, or the state the program must reach, within 600 ms:
// "stopped", "running" or "ended" (by ends_by). Once stopped or ended, the screen read so far shows
// no colour on.
struct scenario {
    const char* name;
    std::string script;
    int ends_by;
    bool in_colour = false; // played, up to 40 s, until in colour at every state read
    int gnomes = 2000;      // chosen at once, after which the program waits at its prompt
    int ignored = 0;        // a signal whoever started the program chose to ignore
    session in = session::tests;
    int descriptors = 0;          // more open descriptors it starts with
    const char* acting = nullptr; // what the shim makes the system act as, if anything
};

void PrintTo(const scenario& s, std::ostream* os) { *os << s.name; }

// Takes away the program's right to open its terminal by name, as on another user's terminal; root
// first gives up opening any file whatever its permissions, or the program ends at once.
void lose_terminal_name(int screen)
{
#ifdef PR_CAPBSET_DROP
    if (geteuid() == 0 && (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE) != 0 ||
                           prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH) != 0))
        _exit(125);
#endif
    fchmod(screen, 0);
}

// The program drawing to a new terminal, as the scenario says, with input handed over to it;
// terminal is set to the side a person sees. Returns -1 on failure. It leaves no core file behind.
pid_t start_job(const scenario& s, int input, int& terminal, int other_terminal)
{
    int screen = -1;
    terminal = open_terminal(screen);
    if (terminal < 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        end_with_parent();
        const int controlling = s.in == session::as_another_user ? terminal : other_terminal;
        if (s.in == session::tests || setsid() < 0)
            setpgid(0, 0);
        else
            take_as_controlling_terminal(controlling);
        if (s.in == session::as_another_user)
            lose_terminal_name(screen);
        termios modes{}; // tostop: it stops only a job in the background of its own terminal
        if (tcgetattr(screen, &modes) == 0)
            modes.c_lflag |= TOSTOP, tcsetattr(screen, TCSANOW, &modes);
        signal(s.ignored, SIG_IGN);
        if (s.acting != nullptr) {
            setenv("LD_PRELOAD", shim, 1);
            setenv("SHIM", s.acting, 1);
        }
        dup2(input, STDIN_FILENO);
        dup2(screen, STDOUT_FILENO);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        rlimit open_files{};
        getrlimit(RLIMIT_NOFILE, &open_files);
        open_files.rlim_cur =
            std::max(open_files.rlim_cur, std::min(open_files.rlim_max, rlim_t{2048}));
        setrlimit(RLIMIT_NOFILE, &open_files);
        // All of them, so that no descriptor closed on exec leaves a lower one free.
        for (int fd = 3; fd < 3 + s.descriptors; ++fd)
            dup2(STDIN_FILENO, fd);
        exec_quarnel();
    }
    close(screen);
    close(input);
    return pid;
}

// Waits until the program has stopped or ended, or for limit_ms at most; returns its wait status,
// or -1. While reading, what the terminal shows before is added to shown.
int await_stop_or_end(pid_t pid, int terminal, bool reading, std::string& shown, int limit_ms)
{
    int status = -1;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
         status == -1 && std::chrono::steady_clock::now() < end;) {
        char buffer[4096];
        pollfd ready{reading ? terminal : -1, POLLIN, 0};
        const ssize_t got = poll(&ready, 1, 10) == 1 ? read(terminal, buffer, sizeof buffer) : 0;
        if (got > 0)
            shown.append(buffer, static_cast<std::size_t>(got));
        else if (waitpid(pid, &status, WUNTRACED | WNOHANG) != pid)
            status = -1;
    }
    return status;
}

class Signals : public testing::TestWithParam<scenario> {};

TEST_P(Signals, LeaveNoColourOnAndAreCarriedOut)
{
    const scenario& s = GetParam();
#ifndef PR_CAPBSET_DROP
    if (s.in == session::as_another_user && geteuid() == 0)
        GTEST_SKIP() << "as root, a terminal cannot be made one whose name does not open here";
#endif
    const std::map<std::string, int> signals{{"TSTP", SIGTSTP}, {"CONT", SIGCONT},
                                             {"INT", SIGINT},   {"HUP", SIGHUP},
                                             {"TERM", SIGTERM}, {"QUIT", SIGQUIT}};
    bool in_colour = false;
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::seconds(s.in_colour ? 40 : 0);
    for (int attempt = 0;
         !in_colour && (attempt == 0 || std::chrono::steady_clock::now() < give_up); ++attempt) {
        int choices[2];
        ASSERT_TRUE(open_pipe(choices));
        // Each unknown token adds a menu, which moves where in a picture the terminal fills up.
        const std::string given = repeated("x ", attempt) + repeated("1 ", s.gnomes);
        ASSERT_EQ(write(choices[1], given.data(), given.size()), ssize_t(given.size()));
        int terminal = -1, screen = -1;
        const int other_terminal =
            s.in == session::on_another_terminal ? open_terminal(screen) : -1;
        close(screen);
        const pid_t pid = start_job(s, choices[0], terminal, other_terminal);
        const group_guard job{pid};
        const std::string menu = golden("menu.txt");
        const seen expected = as_seen(repeated(menu, attempt + 1) +
                                      repeated(golden("christmas.txt") + menu, s.gnomes));
        std::string shown;
        bool reading = false;
        in_colour = true;
        // The words count from the program's first output, however long it takes to start.
        pollfd started{terminal, POLLIN, 0};
        poll(&started, 1, 5000);
        std::istringstream words(s.script + " ended");
        for (std::string word; words >> word;) {
            if (signals.count(word) != 0) {
                kill(pid, signals.at(word));
            } else if (std::isdigit(static_cast<unsigned char>(word[0]))) {
                pause_ms(std::stoi(word));
            } else if (word == "read" || word == "full") {
                reading = word == "read";
                const int screen = reading ? -1 : open(ptsname(terminal), O_WRONLY | O_NONBLOCK);
                while (screen >= 0 && write(screen, "\r\r\r\r", 4) > 0) {
                }
                close(screen);
            } else if (word == "hangup") {
                close(terminal);
                terminal = -1;
            } else if (word == "all") {
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                char buffer[4096];
                for (pollfd ready{terminal, POLLIN, 0};
                     as_seen(shown).characters.size() < expected.characters.size() &&
                     std::chrono::steady_clock::now() < end && poll(&ready, 1, 5000) == 1;)
                    shown.append(buffer,
                                 std::max(read(terminal, buffer, sizeof buffer), ssize_t{0}));
                EXPECT_EQ(as_seen(shown).characters.size(), expected.characters.size());
            } else if (word == "cut") {
                char c = 0;
                for (pollfd ready{terminal, POLLIN, 0}; as_seen(shown).colour == 0 &&
                                                        poll(&ready, 1, 5000) == 1 &&
                                                        read(terminal, &c, 1) == 1;)
                    shown += c;
                pause_ms(50);
                tcflush(terminal, TCIFLUSH);
            } else {
                // A stop or end waits a quarter of a second for a terminal that takes nothing.
                const int status =
                    await_stop_or_end(pid, terminal, reading, shown, word == "running" ? 300 : 600);
                const bool ended = WIFSIGNALED(status) && WTERMSIG(status) == s.ends_by;
                EXPECT_EQ(status == -1         ? "running"
                          : WIFSTOPPED(status) ? "stopped"
                          : ended              ? "ended"
                                               : "?",
                          word)
                    << status;
                const seen now = as_seen(shown);
                EXPECT_TRUE(word == "running" || now.colour == 0) << word << " " << now.colour;
                in_colour &= !reading || now.characters.size() == expected.characters.size() ||
                             came_in_colour(expected, now.characters.size());
            }
        }
        close(terminal);
        close(other_terminal);
        close(choices[1]);
        // Where no colour was ever drawn, no reset is sent either.
        EXPECT_TRUE(s.gnomes != 0 || shown == as_shown(repeated(menu, attempt + 1))) << shown;
        // Stopped and continued, the program draws the picture of a run that never stopped.
        const std::vector<std::pair<char, int>>& drawn = as_seen(shown).characters;
        EXPECT_TRUE(!s.in_colour ||
                    (drawn.size() <= expected.characters.size() &&
                     std::equal(drawn.begin(), drawn.end(), expected.characters.begin())));
    }
    EXPECT_TRUE(in_colour || !s.in_colour);
}

const std::vector<scenario> terminal_rows{
    scenario{"StopAndInterruptInColour", "300 TSTP 100 read stopped CONT 20 INT", SIGINT, true},
    scenario{"StoppedThenDrawnToTheEnd", "20 TSTP read stopped CONT all TERM", SIGTERM, true, 300},
    scenario{"FirstEndWins", "20 QUIT TERM", SIGQUIT},
    scenario{"CtrlCTwiceAtAFullTerminalPastDescriptor1024", "200 full INT INT read", SIGINT, true,
             2000, 0, session::tests, 1100},
    scenario{"StopBeforeEndAtAFullTerminal", "full TSTP 50 TERM stopped read CONT", SIGTERM},
    scenario{"HangUpWhileWaitingToWrite", "full HUP 50 hangup", SIGHUP},
    scenario{"HangUpInColour", "20 HUP read", SIGHUP, true},
    scenario{"StopAtAFullTerminal", "20 TSTP read stopped full CONT 100 TSTP stopped CONT TERM",
             SIGTERM, true},
    scenario{"TerminalNobodyReads",
             "200 TSTP 100 CONT 300 running TSTP 50 TSTP stopped CONT " + repeated("TSTP ", 50000) +
                 "stopped CONT TERM 50 TSTP",
             SIGTERM},
    scenario{"StopsMergeAsTheKernelMergesThem",
             "100 read " + repeated("TSTP TSTP CONT 5 ", 30) + "running " +
                 repeated("TSTP ", 1000) + "stopped CONT CONT running INT",
             SIGINT},
    scenario{"StoppedAtThePrompt", "read 300 TSTP stopped CONT TSTP stopped CONT running all TERM",
             SIGTERM, false, 0},
    scenario{"OrphanedOnAnotherTerminal", "read 50 TSTP running all TERM", SIGTERM, false, 300, 0,
             session::on_another_terminal},
    scenario{"IgnoredInterruptStaysIgnored", "read INT running TERM", SIGTERM, false, 2000, SIGINT},
    scenario{"CtrlCAfterTheTerminalThrewAwayTheReset", "cut INT read", SIGINT, false, 1},
    scenario{"InterruptedOnAnotherUsersTerminal", "20 INT read", SIGINT, true, 2000, 0,
             session::as_another_user}};

std::string name_of(const testing::TestParamInfo<scenario>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Terminal, Signals, testing::ValuesIn(terminal_rows), name_of);

#ifdef SHIM
// macOS's poll answers POLLNVAL for a terminal: the same rows, where it does, less those past
// FD_SETSIZE under an emulator, as qemu-user's own select cannot take such descriptors.
std::vector<scenario> with_macos_poll(std::vector<scenario> rows)
{
    for (scenario& row : rows)
        row.acting = "macos-poll";
#ifdef UNDER_EMULATOR
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const scenario& row) { return row.descriptors >= FD_SETSIZE; }),
               rows.end());
#endif
    return rows;
}

INSTANTIATE_TEST_SUITE_P(MacosPoll, Signals, testing::ValuesIn(with_macos_poll(terminal_rows)),
                         name_of);
#endif

} // namespace
