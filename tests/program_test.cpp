// End-to-end tests: the built program run with real input, its output compared byte for byte.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include <gtest/gtest.h>

#include "capture.h"
#include "child.h"

namespace {

// The plain cases, input and output, are golden cases, which CMake runs on every system; these need
// POSIX.

TEST(Program, ReadsInputThatComesAByteAtATime)
{
    int to_child[2];
    ASSERT_TRUE(open_pipe(to_child));
    const int out = temporary_file();
    const pid_t pid = start_quarnel({to_child[0], out, STDERR_FILENO});
    close(to_child[0]);
    for (const char c : {'1', '\n'}) {
        pause_ms(50);
        ASSERT_EQ(write(to_child[1], &c, 1), 1);
    }
    close(to_child[1]);
    EXPECT_EQ(exit_status_of(pid), 0);
    EXPECT_EQ(contents_of(out), golden("christmas-end-of-input.txt"));
    close(out);
}

TEST(Program, IgnoresItsArguments)
{
    const outcome result = run_quarnel("q\n", {"1", "--help", "-q", ""});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, golden("menu.txt"));
}

// Only a token of exactly one character can be a choice, however long the others grow.
TEST(Program, LongTokensAreUnknownWhateverTheirLength)
{
    std::string input;
    int tokens = 0;
    for (const char c : {'1', '2', '3', '4', 'q'})
        for (std::size_t length = 2; length <= 300; ++length, ++tokens)
            input += std::string(length, c) + (length % 2 ? "\n" : " ");
    input += std::string(100000, 'x') + "1 q";
    const outcome result = run_quarnel(input);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, repeated(golden("menu.txt"), tokens + 2));
}

TEST(Program, TokenEndedByEndOfInputCountsOnce)
{
    const std::string expected = repeated(golden("menu.txt"), 2) + "\n";
    for (std::size_t length = 2; length <= 300; ++length)
        EXPECT_EQ(run_quarnel(std::string(length, 'x')).out, expected) << "length " << length;
}

// Fills in each hidden colour code ("\033[3?m") with the generator's next value.
std::string with_colours_drawn(std::string output)
{
    const std::string hidden = "\033[3?m";
    for (std::size_t at = output.find(hidden); at != std::string::npos;
         at = output.find(hidden, at))
        output[at + 3] = static_cast<char>('0' + std::rand() % 8);
    return output;
}

// The generator is seeded from the clock in whole seconds, so the colours of a run that starts
// and ends within one second are known: one value per piece, head first.
TEST(Program, RandomGnomeTakesItsColoursFromTheGeneratorSeededWithTheSecond)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        const outcome result = run_quarnel("2 q");
        if (std::time(nullptr) != before)
            continue;
        std::srand(static_cast<unsigned>(before));
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, with_colours_drawn(golden("random.txt")));
        return;
    }
    FAIL() << "no run fell within one second";
}

// On a packet socket every write(2) arrives as one record: the menu is one, and each picture line
// is one, so a person at a terminal sees whole lines, also where the output buffer fills up.
TEST(Program, WritesTheMenuAndEachPictureLineAtOnce)
{
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets) != 0)
        GTEST_SKIP() << "no packet sockets (AF_UNIX, SOCK_SEQPACKET) here";
    close_on_exec(sockets[0]);
    close_on_exec(sockets[1]);
    const int in = temporary_file(repeated("1 ", 30) + "q");
    const pid_t pid = start_quarnel({in, sockets[1], STDERR_FILENO});
    close(sockets[1]);

    const std::string menu = golden("menu.txt");
    std::vector<std::string> expected{menu};
    for (int gnomes = 0; gnomes < 30; ++gnomes) {
        std::istringstream gnome(golden("christmas.txt"));
        for (std::string line; std::getline(gnome, line);)
            expected.push_back(line + "\n");
        expected.push_back(menu);
    }

    std::vector<std::string> records;
    char buffer[4096];
    for (ssize_t got; (got = recv(sockets[0], buffer, sizeof buffer, 0)) > 0;)
        records.emplace_back(buffer, static_cast<std::size_t>(got));
    EXPECT_EQ(records, expected);
    EXPECT_EQ(exit_status_of(pid), 0);
    close(sockets[0]);
    close(in);
}

// Exit status and standard error of a run on the given standard input and output (-1: closed).
std::pair<int, std::string> status_and_errors(int in, int out,
                                              rlim_t file_size_limit = RLIM_INFINITY)
{
    const int err = temporary_file();
    const int status = exit_status_of(start_quarnel({in, out, err}, {}, file_size_limit));
    const std::string errors = contents_of(err);
    close(err);
    return {status, errors};
}

std::pair<int, std::string> failure(const char* what, int error)
{
    return {1, std::string("quarnel: ") + what + " error: " + std::strerror(error) + "\n"};
}

// The menu cannot be written, so not a single byte of input may be read.
TEST(Program, FullOutputDeviceIsAWriteError)
{
    const int in = temporary_file("1\n2\nq\n");
    const int out = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (out < 0)
        GTEST_SKIP() << "no /dev/full here";
    EXPECT_EQ(status_and_errors(in, out), failure("write", ENOSPC));
    EXPECT_EQ(lseek(in, 0, SEEK_CUR), 0);
    close(in);
    close(out);
}

TEST(Program, ClosedOutputIsAWriteError)
{
    const int in = temporary_file("1\nq\n");
    EXPECT_EQ(status_and_errors(in, -1), failure("write", EBADF));
    EXPECT_EQ(lseek(in, 0, SEEK_CUR), 0);
    close(in);
}

// The output file may grow only a little past the menu, so the first gnome breaks off on its
// second line; the program must stop there and not read on through the rest of its input.
TEST(Program, WriteErrorInAGnomeStopsTheProgramAtOnce)
{
    const std::string input = repeated("1 ", 100000);
    const std::string menu = golden("menu.txt");
    const int in = temporary_file(input);
    const int out = temporary_file();
    EXPECT_EQ(status_and_errors(in, out, menu.size() + 20), failure("write", EFBIG));
    EXPECT_EQ(contents_of(out), (menu + golden("christmas.txt")).substr(0, menu.size() + 20));
    EXPECT_LT(lseek(in, 0, SEEK_CUR), static_cast<off_t>(input.size()));
    close(in);
    close(out);
}

// The menu just fits; only the newline after end of input, flushed on the way out, does not.
TEST(Program, WriteErrorInTheLastFlushIsReported)
{
    const std::string menu = golden("menu.txt");
    const int in = temporary_file();
    const int out = temporary_file();
    EXPECT_EQ(status_and_errors(in, out, menu.size()), failure("write", EFBIG));
    EXPECT_EQ(contents_of(out), menu);
    close(in);
    close(out);
}

TEST(Program, DirectoryAsInputIsAReadError)
{
    const int in = open("/", O_RDONLY | O_CLOEXEC);
    const int out = temporary_file();
    ASSERT_GE(in, 0);
    EXPECT_EQ(status_and_errors(in, out), failure("read", EISDIR));
    EXPECT_EQ(contents_of(out), golden("menu.txt") + "\n");
    close(in);
    close(out);
}

// Feeds the program one token of the given length, ended by a newline, while reading what it writes
// until it has shown the menu twice (the second menu shows that the whole token has been read).
// Returns what it wrote by then.
std::string feed_token(int to_child, int from_child, std::size_t token_length)
{
    const std::string chunk(65536, 'x');
    const std::size_t expected_size = 2 * golden("menu.txt").size();
    std::size_t left = token_length + 1;
    std::string output;
    char buffer[4096];
    while (left > 0 || output.size() < expected_size) {
        pollfd ready[] = {{from_child, POLLIN, 0}, {left > 0 ? to_child : -1, POLLOUT, 0}};
        if (poll(ready, 2, 10000) <= 0)
            break;
        if (ready[0].revents != 0) {
            const ssize_t got = read(from_child, buffer, sizeof buffer);
            if (got <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(got));
            if (output.size() > expected_size)
                break;
        }
        if (ready[1].revents != 0) {
            const ssize_t sent =
                left > 1 ? write(to_child, chunk.data(), std::min(left - 1, chunk.size()))
                         : write(to_child, "\n", 1);
            if (sent <= 0)
                break;
            left -= static_cast<std::size_t>(sent);
        }
    }
    return output;
}

// Peak resident memory of the program in KiB, once it has read one token of the given length.
long peak_memory_after_token(std::size_t token_length)
{
    int to_child[2];
    int from_child[2];
    if (!open_pipe(to_child) || !open_pipe(from_child))
        throw std::runtime_error("pipe failed");
    const pid_t pid = start_quarnel({to_child[0], from_child[1], STDERR_FILENO});
    close(to_child[0]);
    close(from_child[1]);
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);

    const std::string output = feed_token(to_child[1], from_child[0], token_length);
    EXPECT_EQ(output, repeated(golden("menu.txt"), 2));

    long peak_kib = -1;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            peak_kib = std::stol(line.substr(6));

    (void)!write(to_child[1], "q", 1);
    close(to_child[1]);
    close(from_child[0]);
    EXPECT_EQ(exit_status_of(pid), 0);
    return peak_kib;
}

TEST(Program, HugeTokenKeepsMemoryBounded)
{
    if (access("/proc/self/status", R_OK) != 0)
        GTEST_SKIP() << "no /proc/PID/status to read the peak memory from";
    const long usual = peak_memory_after_token(1);
    const long huge = peak_memory_after_token(std::size_t{256} << 20);
    ASSERT_GT(usual, 0);
    EXPECT_LE(huge, usual + 1024) << "usual " << usual << " KiB";
}

// Reads from a non-blocking descriptor until it has size bytes or nothing comes for five seconds.
std::string read_some(int fd, std::size_t size)
{
    std::string got;
    char buffer[65536];
    while (got.size() < size) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1)
            break;
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, size - got.size()));
        if (n <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// Whoever started the program may have left its input and output non-blocking. Input that runs
// dry and output that fills its pipe are waited for, not spun on. A signal that ends the program in
// the middle of a gnome adds nothing to a pipe: it holds exactly what had been drawn.
TEST(Program, WaitsOnNonBlockingPipesAndLeavesThemAnExactPrefixWhenKilled)
{
    int to_child[2];
    int from_child[2];
    ASSERT_TRUE(open_pipe(to_child) && open_pipe(from_child));
#ifdef F_SETPIPE_SZ
    // One page: the second run of gnomes then blocks, and is killed, in the coloured head.
    fcntl(from_child[0], F_SETPIPE_SZ, 4096);
#endif
    fcntl(to_child[0], F_SETFL, O_NONBLOCK);
    fcntl(from_child[1], F_SETFL, O_NONBLOCK);
    const pid_t pid = start_quarnel({to_child[0], from_child[1], STDERR_FILENO});
    close(to_child[0]);
    close(from_child[1]);

    // More than a pipe holds, drawn while nobody reads.
    const std::string choices = repeated("1 ", 200);
    const std::string menu = golden("menu.txt");
    const std::string drawn = repeated(golden("christmas.txt") + menu, 200);
    ASSERT_EQ(write(to_child[1], choices.data(), choices.size()),
              static_cast<ssize_t>(choices.size()));
    pause_ms(200);
    EXPECT_EQ(read_some(from_child[0], menu.size() + drawn.size()), menu + drawn);
    pause_ms(200); // with its input dry

    ASSERT_EQ(write(to_child[1], choices.data(), choices.size()),
              static_cast<ssize_t>(choices.size()));
    pause_ms(200);
    kill(pid, SIGTERM);
    const std::string cut = read_some(from_child[0], drawn.size());
    EXPECT_EQ(cut, drawn.substr(0, cut.size()));
    int status = 0;
    rusage before{};
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &before);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const auto busy_us = [](const rusage& used) {
        return (used.ru_utime.tv_sec + used.ru_stime.tv_sec) * 1000000L + used.ru_utime.tv_usec +
               used.ru_stime.tv_usec;
    };
    EXPECT_LT(busy_us(after) - busy_us(before), 150000)
        << "microseconds busy of the 600 000 it waited";
    close(to_child[1]);
    close(from_child[0]);
}

} // namespace
