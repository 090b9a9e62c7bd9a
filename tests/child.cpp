// child.cpp: starting the built program with chosen standard streams, and temporary files for them.
#include "child.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif
#if __has_include(<sys/procctl.h>)
#include <sys/procctl.h>
#endif

namespace {

void become_standard_stream(int fd, int target)
{
    if (fd < 0)
        close(target);
    else if (fd != target)
        dup2(fd, target);
}

} // namespace

void end_with_parent()
{
#if defined(PR_SET_PDEATHSIG)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#elif defined(PROC_PDEATHSIG_CTL)
    int signal = SIGKILL;
    procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &signal);
#endif
}

group_guard::~group_guard()
{
    if (leader > 0) {
        kill(-leader, SIGKILL);
        waitpid(leader, nullptr, 0);
    }
}

void exec_quarnel(const std::vector<std::string>& args)
{
    std::vector<char*> argv{const_cast<char*>(QUARNEL)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(QUARNEL, argv.data());
    _exit(127);
}

pid_t start_quarnel(standard_streams streams, const std::vector<std::string>& args,
                    rlim_t file_size_limit)
{
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid > 0)
        return pid;
    end_with_parent();
    // Every descriptor the tests open is close-on-exec, so only these three reach the program.
    become_standard_stream(streams.in, STDIN_FILENO);
    become_standard_stream(streams.out, STDOUT_FILENO);
    become_standard_stream(streams.err, STDERR_FILENO);
    if (file_size_limit != RLIM_INFINITY) {
        const rlimit limit{file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        // Without this the limit kills the program instead of failing its write.
        std::signal(SIGXFSZ, SIG_IGN);
    }
    exec_quarnel(args);
}

int exit_status_of(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        throw std::runtime_error("waitpid failed");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

outcome run_quarnel(const std::string& input, const std::vector<std::string>& args)
{
    const int in = temporary_file(input);
    const int out = temporary_file();
    const int err = temporary_file();
    outcome result{exit_status_of(start_quarnel({in, out, err}, args)), contents_of(out),
                   contents_of(err)};
    close(in);
    close(out);
    close(err);
    return result;
}

void pause_ms(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool open_pipe(int ends[2])
{
    return pipe(ends) == 0 && close_on_exec(ends[0]) >= 0 && close_on_exec(ends[1]) >= 0;
}

int close_on_exec(int fd) { return fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 ? fd : -1; }

int temporary_file(const std::string& contents)
{
    char name[] = "/tmp/quarnel-test-XXXXXX";
    const int fd = close_on_exec(mkstemp(name));
    if (fd < 0)
        throw std::runtime_error("cannot make a temporary file");
    unlink(name);
    if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        throw std::runtime_error("cannot fill a temporary file");
    return fd;
}

std::string contents_of(int fd, off_t from)
{
    std::string contents;
    char buffer[65536];
    ssize_t got;
    while ((got = pread(fd, buffer, sizeof buffer, from + static_cast<off_t>(contents.size()))) > 0)
        contents.append(buffer, static_cast<std::size_t>(got));
    return contents;
}
