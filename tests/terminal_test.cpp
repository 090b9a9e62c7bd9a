// What a person at a terminal sees: the program run on a pseudo-terminal and typed at.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "child.h"

namespace {

// Reads what the terminal shows until it ends with expected_end, the program closes it, or
// nothing arrives for five seconds.
std::string screen_until(int terminal, const std::string& expected_end)
{
    std::string shown;
    char buffer[4096];
    while (shown.size() < expected_end.size() ||
           shown.compare(shown.size() - expected_end.size(), expected_end.size(), expected_end)) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1)
            break;
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0)
            break;
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    return shown;
}

// The terminal turns each newline the program writes into a carriage return and a newline.
std::string as_shown(const std::string& text)
{
    std::string shown;
    for (const char c : text)
        shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return shown;
}

TEST(Terminal, PromptShowsBeforeTypingAndCtrlDEndsTheProgram)
{
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0)
        exec_quarnel();

    const std::string menu = as_shown(golden("menu.txt"));
    EXPECT_EQ(screen_until(terminal, menu), menu);

    ASSERT_EQ(write(terminal, "1\n", 2), 2);
    const std::string gnome = "1\r\n" + as_shown(golden("christmas.txt")) + menu;
    EXPECT_EQ(screen_until(terminal, gnome), gnome);

    ASSERT_EQ(write(terminal, "\x04", 1), 1);
    EXPECT_EQ(screen_until(terminal, "\r\n"), "\r\n");
    EXPECT_EQ(exit_status_of(pid), 0);
    close(terminal);
}

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

// Whether a signal that came after the first shown characters of the expected came while a colour
// was on: the characters on both sides of it are drawn in colour.
bool came_in_colour(const seen& expected, std::size_t shown)
{
    return shown > 0 && shown < expected.characters.size() &&
           expected.characters[shown - 1].second != 0 && expected.characters[shown].second != 0;
}

// The program drawing to a new terminal, in a process group of its own as a shell's job is, with
// input handed over to it; terminal is set to the side a person sees. Returns -1 on failure.
pid_t start_job(int input, int& terminal)
{
    int screen = -1;
    if (openpty(&terminal, &screen, nullptr, nullptr, nullptr) != 0)
        return -1;
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(input, STDIN_FILENO);
        dup2(screen, STDOUT_FILENO);
        exec_quarnel();
    }
    close(screen);
    close(input);
    return pid;
}

// Reads what the terminal shows until the program has stopped and nothing more comes, or it has
// ended and closed the terminal; or for ten seconds at most.
std::string screen_until_stopped_or_ended(int terminal, pid_t pid, int& status)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string shown;
    bool stopped = false;
    for (int quiet = 0; quiet < 100 && std::chrono::steady_clock::now() < deadline;) {
        char buffer[4096];
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 50) == 1) {
            const ssize_t got = read(terminal, buffer, sizeof buffer);
            if (got <= 0) {
                waitpid(pid, &status, 0);
                break;
            }
            shown.append(buffer, static_cast<std::size_t>(got));
            quiet = 0;
        } else if (stopped) {
            break;
        } else {
            stopped = waitpid(pid, &status, WUNTRACED | WNOHANG) == pid;
            ++quiet;
        }
    }
    return shown;
}

// Stopped (Ctrl-Z) in the middle of a picture, the program takes its colour away while it stands
// and sets it again when it goes on, so the picture comes out as if it had never stopped; killed
// in the middle of one, it takes the colour away before it dies. The program is stopped and
// killed wherever it happens to be, so the scenario is played until both came while a colour was
// on.
TEST(Terminal, NoColourStaysOnWhileStoppedOrAfterAKill)
{
    const std::string menu = golden("menu.txt");
    const std::string drawn = repeated(golden("christmas.txt") + menu, 2000);
    bool coloured_stop = false;
    bool coloured_kill = false;
    for (int attempt = 0; attempt < 40 && !(coloured_stop && coloured_kill); ++attempt) {
        int terminal = -1;
        // Each unknown token adds a menu, which moves where in a picture the terminal fills up.
        const int input = temporary_file(repeated("x ", attempt) + repeated("1 ", 2000));
        const pid_t pid = start_job(input, terminal);
        ASSERT_GT(pid, 0);
        const seen expected = as_seen(repeated(menu, attempt + 1) + drawn);

        // Nobody reads the terminal at first, so the program is soon blocked in a write.
        int status = -1;
        usleep(20000);
        kill(pid, SIGTSTP);
        const std::string before_stop = screen_until_stopped_or_ended(terminal, pid, status);
        EXPECT_TRUE(WIFSTOPPED(status)) << status;
        const seen stopped = as_seen(before_stop);
        EXPECT_EQ(stopped.colour, 0);
        coloured_stop |= came_in_colour(expected, stopped.characters.size());

        kill(pid, SIGCONT);
        usleep(20000);
        kill(pid, SIGINT);
        const seen all =
            as_seen(before_stop + screen_until_stopped_or_ended(terminal, pid, status));
        close(terminal);
        if (!WIFSIGNALED(status)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
        EXPECT_EQ(all.colour, 0);
        coloured_kill |= came_in_colour(expected, all.characters.size());

        ASSERT_LE(all.characters.size(), expected.characters.size());
        const auto differ = std::mismatch(all.characters.begin(), all.characters.end(),
                                          expected.characters.begin());
        EXPECT_EQ(differ.first, all.characters.end())
            << "shown differently from character " << differ.first - all.characters.begin();
    }
    EXPECT_TRUE(coloured_stop);
    EXPECT_TRUE(coloured_kill);
}

// Waits up to three seconds for the program to stop or end; returns whether it did.
bool stops_or_ends_soon(pid_t pid, int& status)
{
    for (int tries = 0; tries < 300; ++tries, usleep(10000))
        if (waitpid(pid, &status, WUNTRACED | WNOHANG) == pid)
            return true;
    return false;
}

// A terminal nobody reads (as one stopped with Ctrl-S) takes nothing more once it is full, reset
// included: the program must still stop and end at once.
TEST(Terminal, TerminalThatTakesNothingHoldsBackNeitherAStopNorAnEnd)
{
    int terminal = -1;
    const pid_t pid = start_job(temporary_file(repeated("1 ", 2000)), terminal);
    ASSERT_GT(pid, 0);
    usleep(200000);

    int status = -1;
    kill(pid, SIGTSTP);
    EXPECT_TRUE(stops_or_ends_soon(pid, status) && WIFSTOPPED(status)) << status;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    const bool ended = stops_or_ends_soon(pid, status);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    close(terminal);
}

// Ctrl-C makes the terminal throw away what it has not shown yet: here the resets after the
// colours it has shown. The program, already waiting at its prompt, must still take the colour
// away.
TEST(Terminal, CtrlCTakesAwayAColourThatOutputThrownAwayLeftOn)
{
    int terminal = -1;
    int choices[2];
    ASSERT_EQ(pipe2(choices, O_CLOEXEC), 0);
    const pid_t pid = start_job(choices[0], terminal);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(write(choices[1], "1 ", 2), 2);

    std::string shown;
    char c = 0;
    pollfd ready{terminal, POLLIN, 0};
    while (as_seen(shown).colour == 0 && poll(&ready, 1, 5000) == 1 && read(terminal, &c, 1) == 1)
        shown += c;
    usleep(50000);
    tcflush(terminal, TCIFLUSH);
    kill(pid, SIGINT);
    int status = -1;
    shown += screen_until_stopped_or_ended(terminal, pid, status);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(as_seen(shown).colour, 0);
    close(terminal);
    close(choices[1]);
}

} // namespace
