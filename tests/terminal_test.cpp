// What a person at a terminal sees: the program run on a pseudo-terminal and typed at.
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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

} // namespace
