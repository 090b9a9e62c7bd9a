// child.h: runs the built quarnel program as a shell would, with standard streams the test chooses.
#ifndef QUARNEL_TESTS_CHILD_H
#define QUARNEL_TESTS_CHILD_H

#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// Descriptors to become the program's standard input, output and error; -1 leaves one closed.
struct standard_streams {
    int in;
    int out;
    int err;
};

struct outcome {
    int exit_status; // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Starts the program; file_size_limit caps the size of files it writes, as `ulimit -f` does.
pid_t start_quarnel(standard_streams streams, const std::vector<std::string>& args = {},
                    rlim_t file_size_limit = RLIM_INFINITY);

// Called in a child just after fork. Where the system offers it, the child is killed when the test
// process dies, even by a timeout that leaves the test no time to end it.
void end_with_parent();

// Kills a whole process group, and reaps its leader, when it goes out of scope, so that no program
// a test started outlives the test, whatever way the test ends.
struct group_guard {
    pid_t leader;
    ~group_guard();
};

// Replaces the calling process with the program.
[[noreturn]] void exec_quarnel(const std::vector<std::string>& args = {});

// Waits for the program to end; returns its exit status, or -1 when a signal ended it.
int exit_status_of(pid_t pid);

// Runs the program with input on standard input and waits for it to end.
outcome run_quarnel(const std::string& input, const std::vector<std::string>& args = {});

// Does nothing for the given number of milliseconds.
void pause_ms(int milliseconds);

// A pipe, both ends closed on exec; false when there is none.
bool open_pipe(int ends[2]);

// Marks fd close-on-exec, as every descriptor the tests open is; returns fd.
int close_on_exec(int fd);

// An unnamed temporary file holding contents, positioned at its start.
int temporary_file(const std::string& contents = "");

// The contents of a file from the given offset on, whatever its position.
std::string contents_of(int fd, off_t from = 0);

#endif
