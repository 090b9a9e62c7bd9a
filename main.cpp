// main.cpp: quarnel's menu loop, which shows the menu, reads choices and draws the gnomes; below
// it, the standard streams, replaced to act at each flush and read on the signals a terminal sends.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <locale>
#include <string>
#include <string_view>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
#endif

#include "gnome.h"

using namespace std;

namespace {

// Shown before every choice; its last line, the prompt, is shown again after a stop at it.
constexpr string_view menu = "Welche Aktion möchten Sie durchführen?\n"
                             "[1] Weihnachtsgartenzwerg erzeugen\n"
                             "[2] Zufälligen Gartenzwerg erzeugen\n"
                             "[3] Österreich-Gartenzwerg erzeugen\n"
                             "[4/q] Programm beenden\n"
                             "Ihre Aktion: ";
constexpr string_view prompt = menu.substr(menu.rfind('\n') + 1);

bool ends_program(const string& token) { return token == "4" || token == "q"; }
istream& read_token(istream& in, string& token);
void set_up_standard_streams();
int finish_standard_streams(bool ended_by_choice);

} // namespace

int main(int, char**)
{
    srand(static_cast<unsigned>(time(nullptr)));
    set_up_standard_streams();
    string user_input;
    while (!ends_program(user_input)) {
        cout << menu;
        // Flushed here, not by cin's tie, so that a failed write stops the program before it reads.
        if (!cout.flush() || !read_token(cin, user_input))
            break;
        if (user_input == "1")
            christmas_gnome();
        if (user_input == "2")
            random_gnome();
        if (user_input == "3")
            austria_gnome();
    }
    return finish_standard_streams(ends_program(user_input));
}

namespace {

// Reads the next white-space-separated token as `in >> token` does, but keeps only its first
// kept_length characters, enough for a choice of one, so that memory stays bounded whatever the
// input. A peek once the end has been met would fail the stream and lose the token.
istream& read_token(istream& in, string& token)
{
    constexpr streamsize kept_length = 64;
    in >> setw(kept_length) >> token;
    for (string dropped; token.size() == size_t(kept_length) && in && !in.eof();) {
        const istream::int_type next = in.peek();
        if (next == istream::traits_type::eof() || isspace(char(next), in.getloc()))
            break;
        in >> setw(kept_length) >> dropped;
    }
    return in;
}

// The standard streams, read and written with the system's own calls, so that bytes pass unchanged
// and a file is handed on where the program stopped reading. At a terminal, and only there, no
// colour may outlive the program or stay on while it is stopped; how differs, at this file's end.
constexpr string_view reset_sequence = "\033[0m";
constexpr int standard_input = 0;
constexpr int standard_output = 1;
// How long a recorded stop or end waits for a stuck terminal to take a line's rest, and the reset.
constexpr int patience_ms = 250;
using moment = chrono::steady_clock::time_point;
constexpr moment never = moment::max();

int output_fd = standard_output; // at a terminal, the program's own descriptor on it
int input_fd = standard_input;   // the same, where standard input is that terminal too
int output_error = 0;            // errno of the write that failed, or 0
int input_error = 0;             // errno of the read that failed, or 0 (also at the end of input)

bool at_terminal() { return output_fd != standard_output; }
// A read or write that failed only for now: interrupted, or on a descriptor left non-blocking.
bool not_ready(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }
enum class ready_for { reading, writing };

// What differs between a POSIX terminal and a Windows console, defined at the end of this file.
void set_up_terminal();
bool signal_recorded();
bool in_background(int fd);
bool may_write_to_terminal();
moment read_time_limit();
int wait_for(int fd, ready_for what, moment give_up);
ptrdiff_t read_some(int fd, char* buffer, size_t size);
ptrdiff_t write_some(int fd, const char* text, size_t size);
void move_input_by(ptrdiff_t offset);
void carry_out_signals(string_view unsent, bool at_prompt, int colour);
void leave_terminal(int colour);

// The SGR code in force after text, a flush of whole sequences: its last, or before if it has none.
int colour_after(string_view text, int before)
{
    const size_t escape = text.rfind('\033');
    if (escape != string_view::npos)
        from_chars(text.data() + escape + 2, text.data() + text.size(), before);
    return before;
}

// The one write loop. Returns how much of text went out: all, unless a write failed (output_error
// says why), or a signal is recorded where a write would stop the program (in the background under
// tostop) or the terminal takes nothing for the patience, however often the wait wakes.
size_t put(string_view text)
{
    size_t sent = 0;
    for (moment give_up = never; sent < text.size() && output_error == 0 &&
                                 !(signal_recorded() && !may_write_to_terminal());) {
        const ptrdiff_t written = write_some(output_fd, text.data() + sent, text.size() - sent);
        if (written > 0)
            sent += static_cast<size_t>(written);
        else if (written == 0 || !not_ready(errno)) // a write that takes nothing: a full device
            output_error = written == 0 ? ENOSPC : errno;
        else if (give_up == never && signal_recorded())
            give_up = chrono::steady_clock::now() + chrono::milliseconds(patience_ms);
        else if (chrono::steady_clock::now() >= give_up)
            break;
        else if (wait_for(output_fd, ready_for::writing, give_up) < 0)
            output_error = errno;
    }
    return sent;
}

// Standard output for the whole run. A flush of up to half the buffer, as each of the program's is,
// leaves as one write unless the descriptor takes less: every picture line shows at once. Flushed
// text stays in the buffer, so that the colour in force is looked for only where it is needed.
class standard_output_buffer : public streambuf {
  public:
    standard_output_buffer() { setp(begin(buffer), end(buffer)); }

    // The SGR code in force once all flushed is out: the last one sent, or -1 where none ever was
    // and no reset is needed (after 0 one is: Ctrl-C and Ctrl-Z throw away a reset not yet shown).
    int colour_shown() const { return colour_after({buffer, size_t(pptr() - buffer)}, dropped); }

  protected:
    int sync() override
    {
        const string_view flushed(pbase(), static_cast<size_t>(pptr() - pbase()));
        const size_t sent = put(flushed);
        if (signal_recorded())
            carry_out_signals(flushed.substr(sent),
                              flushed.size() >= prompt.size() &&
                                  flushed.substr(flushed.size() - prompt.size()) == prompt,
                              colour_shown());
        setp(pptr(), end(buffer));
        return output_error == 0 ? 0 : -1;
    }

    // The buffer is full: what is not flushed yet moves to its start, unless it is larger than what
    // was flushed before it; then it is written out first, ahead of the rest of its flush.
    int_type overflow(int_type c) override
    {
        if (pbase() - buffer < pptr() - pbase() && sync() != 0)
            return traits_type::eof();
        dropped = at_terminal() ? colour_shown() : -1;
        const char* const moved = copy(pbase(), pptr(), buffer);
        setp(buffer, end(buffer));
        pbump(static_cast<int>(moved - buffer));
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        return sputc(traits_type::to_char_type(c));
    }

  private:
    char buffer[8192];
    int dropped = -1; // the colour in force after what was dropped from the buffer
};

standard_output_buffer output;

class standard_input_buffer : public streambuf {
  public:
    // Leaves a seekable input just past the one white-space character that ended the last choice,
    // or at its end, so that the next reader of a shared file gets the rest.
    void give_back_unread() { move_input_by(gptr() < egptr() ? 1 - (egptr() - gptr()) : 0); }

  protected:
    // The one read, at the prompt, where all output is out. At a terminal the wait comes first, as
    // long as its modes let a read last, but in the background only a read stops a job (SIGTTIN).
    int_type underflow() override
    {
        for (bool drained = false; gptr() == egptr();) {
            if (signal_recorded())
                carry_out_signals({}, true, output.colour_shown());
            const moment give_up = at_terminal() ? read_time_limit() : never; // anew after a stop
            if ((drained || (at_terminal() && !in_background(input_fd))) &&
                wait_for(input_fd, ready_for::reading, give_up) == 0) {
                if (chrono::steady_clock::now() >= give_up)
                    return traits_type::eof();
                continue;
            }
            const ptrdiff_t got = read_some(input_fd, buffer, sizeof buffer);
            if (got > 0)
                setg(buffer, buffer, buffer + got);
            else if (got == 0 || !not_ready(errno))
                return input_error = got == 0 ? 0 : errno, traits_type::eof();
            else
                drained = errno != EINTR;
        }
        return traits_type::to_int_type(*gptr());
    }

  private:
    char buffer[65536];
};

standard_input_buffer input;

void set_up_standard_streams()
{
    set_up_terminal();
    cout.rdbuf(&output);
    cin.rdbuf(&input);
}

// Closes the prompt's line where input ended there, reports a failed read or write, or hands on the
// rest of a shared input; then leaves the terminal as it was found.
int finish_standard_streams(bool ended_by_choice)
{
    if (cin.fail())
        cout << '\n';
    const bool flushed = static_cast<bool>(cout.flush());
    cout.rdbuf(nullptr); // cout is flushed once more at exit, after this buffer is gone
    const int error = flushed ? input_error : output_error;
    const char* const what = flushed ? "read" : "write";
    if (error != 0)
        cerr << string("quarnel: ") + what + " error: " + strerror(error) + "\n";
    else if (ended_by_choice)
        input.give_back_unread();
    leave_terminal(output.colour_shown());
    return error != 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}

#if defined(_WIN32)
// The terminal, once for a Windows console and then for every other system. A console has no job
// control and nothing to record: its handler carries out Ctrl-C and Ctrl-Break at once, on a thread
// of its own. Its descriptors block: each is ready when asked.
bool signal_recorded() { return false; }
bool in_background(int) { return false; }
bool may_write_to_terminal() { return true; }
moment read_time_limit() { return never; }
int wait_for(int, ready_for, moment) { return 1; }
void carry_out_signals(string_view, bool, int) {}

HANDLE console = INVALID_HANDLE_VALUE; // standard output, where it is a console
DWORD console_mode = 0;                // its mode and code page as they were found
UINT console_code_page = 0;

// Held by every write, and by the handler until the process is gone. Once the handler begins, only
// a write already past its test of `ending` starts: no reset lands inside a write, none after it.
SRWLOCK writing = SRWLOCK_INIT;
atomic<bool> ending{false};

// At a console a read that starts with Ctrl-Z ends the input, as Windows' own ReadFile has it.
ptrdiff_t read_some(int fd, char* buffer, size_t size)
{
    const int got = _read(fd, buffer, unsigned(size));
    return got > 0 && buffer[0] == '\x1a' && _isatty(fd) ? 0 : got;
}

void move_input_by(ptrdiff_t offset) { _lseeki64(standard_input, offset, SEEK_CUR); }

// Windows has no SIGPIPE: a filter whose reader is gone ends at once, without a message, with the
// status a POSIX shell shows for one that SIGPIPE ended (141), the same for scripts everywhere.
ptrdiff_t write_some(int fd, const char* text, size_t size)
{
    if (ending)
        Sleep(INFINITE); // until the handler ends the process
    AcquireSRWLockExclusive(&writing);
    const int written = _write(fd, text, static_cast<unsigned>(size));
    const DWORD error = GetLastError(); // the C runtime reports a closed pipe as EINVAL
    ReleaseSRWLockExclusive(&writing);
    if (written < 0 && (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
                        error == ERROR_PIPE_NOT_CONNECTED)) // the last is what wine reports
        _exit(128 + 13);
    return written;
}

// Ctrl-C and Ctrl-Break: the reset (where no colour is on it shows nothing), the console as it was
// found, then the end Windows gives them, by TerminateProcess so that no exit handler writes. A
// write the console holds (a selection, Pause) is waited for as for a stuck terminal elsewhere.
BOOL WINAPI end_at_console(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    ending = true;
    int waited_ms = 0;
    while (!TryAcquireSRWLockExclusive(&writing) && (waited_ms += 10) <= patience_ms)
        Sleep(10);
    if (waited_ms <= patience_ms)
        _write(output_fd, reset_sequence.data(), static_cast<unsigned>(reset_sequence.size()));
    SetConsoleMode(console, console_mode);
    SetConsoleOutputCP(console_code_page);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// Bytes pass unchanged, as on every other system: no "\r" before each "\n", and no byte 0x1A that
// ends a file. Only a console gets colours (virtual-terminal processing) and UTF-8 turned on.
void set_up_terminal()
{
    for (const int fd : {standard_input, standard_output, 2})
        _setmode(fd, _O_BINARY);
    console = reinterpret_cast<HANDLE>(_get_osfhandle(standard_output));
    if (!GetConsoleMode(console, &console_mode))
        return void(console = INVALID_HANDLE_VALUE);
    console_code_page = GetConsoleOutputCP();
    // The handler comes first, the change under the lock: Ctrl-C never leaves the console changed.
    SetConsoleCtrlHandler(end_at_console, TRUE);
    AcquireSRWLockExclusive(&writing);
    SetConsoleMode(console,
                   console_mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    SetConsoleOutputCP(CP_UTF8);
    ReleaseSRWLockExclusive(&writing);
}

void leave_terminal(int)
{
    AcquireSRWLockExclusive(&writing);
    if (console != INVALID_HANDLE_VALUE)
        SetConsoleMode(console, console_mode), SetConsoleOutputCP(console_code_page);
    ReleaseSRWLockExclusive(&writing);
}

#else
// At a terminal, handlers only record the ending signals and Ctrl-Z, as the kernel would act on
// them: an end that came first leaves a later stop unrecorded, a stop that came first is carried
// out first, and a continue takes back a stop recorded before. The main line acts on them.
volatile sig_atomic_t stop_recorded = 0;
volatile sig_atomic_t ending_signal = 0; // the first that came, or 0
volatile sig_atomic_t continued = 0;     // set by every continue
int wake_pipe[2] = {-1, -1};             // a byte in it ends the one wait

bool signal_recorded() { return (stop_recorded | ending_signal) != 0; }
// Only the controlling terminal answers tcgetpgrp (and a master, never the program's own): another
// job in its foreground stops the program at a read (SIGTTIN), and under `stty tostop` at a write.
bool in_background(int fd) { return tcgetpgrp(fd) != -1 && tcgetpgrp(fd) != getpgrp(); }
bool may_write_to_terminal()
{
    termios modes{};
    return !in_background(output_fd) ||
           (tcgetattr(output_fd, &modes) == 0 && (modes.c_lflag & TOSTOP) == 0);
}

// Without ICANON and with VMIN 0, a read that finds nothing ends after VTIME tenths of a second.
moment read_time_limit()
{
    termios modes{};
    if (tcgetattr(input_fd, &modes) != 0 || (modes.c_lflag & ICANON) != 0 || modes.c_cc[VMIN] != 0)
        return never;
    return chrono::steady_clock::now() + chrono::milliseconds(modes.c_cc[VTIME] * 100);
}

// macOS's poll(2) "does not support devices": where it refuses a terminal, select(2) waits, each
// set as many fd_sets as a descriptor past FD_SETSIZE needs (on macOS, _DARWIN_UNLIMITED_SELECT).
int select_for(pollfd (&watched)[2], int limit_ms)
{
    const size_t sets = static_cast<size_t>(max(watched[0].fd, watched[1].fd)) / FD_SETSIZE + 1;
    vector<fd_set> reading(sets), writing(sets);
    const auto set_of = [&](const pollfd& p) {
        return &(p.events == POLLIN ? reading : writing)[static_cast<size_t>(p.fd) / FD_SETSIZE];
    };
    for (const pollfd& p : watched)
        if (p.fd >= 0)
            FD_SET(p.fd % FD_SETSIZE, set_of(p));
    timeval limit{limit_ms / 1000, limit_ms % 1000 * 1000};
    const int count = select(static_cast<int>(sets * FD_SETSIZE), reading.data(), writing.data(),
                             nullptr, limit_ms < 0 ? nullptr : &limit);
    for (pollfd& p : watched)
        p.revents = count > 0 && p.fd >= 0 && FD_ISSET(p.fd % FD_SETSIZE, set_of(p)) ? p.events : 0;
    return count;
}

// The one wait: until fd is ready (1), a signal is recorded or give_up comes (0), or it fails (-1).
// A signal recorded before it starts still ends it, by the byte the handler wrote into the pipe.
int wait_for(int fd, ready_for what, moment give_up)
{
    const auto left = give_up - chrono::steady_clock::now();
    const int limit_ms = give_up == never ? -1 : max(int(left / 1ms), 0) + 1;
    const short events = what == ready_for::reading ? POLLIN : POLLOUT;
    pollfd watched[] = {{fd, events, 0}, {wake_pipe[0], POLLIN, 0}};
    int count = poll(watched, 2, limit_ms);
    if (count > 0 && (watched[0].revents & POLLNVAL) != 0)
        count = select_for(watched, limit_ms);
    for (char woken[64]; watched[1].revents != 0 && read(wake_pipe[0], woken, sizeof woken) > 0;)
        continue;
    return count < 0 && errno != EINTR ? -1 : watched[0].revents != 0;
}

ptrdiff_t read_some(int fd, char* buffer, size_t size) { return read(fd, buffer, size); }
ptrdiff_t write_some(int fd, const char* text, size_t size) { return write(fd, text, size); }
void move_input_by(ptrdiff_t offset) { lseek(standard_input, offset, SEEK_CUR); }

void record(int signal)
{
    if (signal == SIGCONT)
        stop_recorded = 0, continued = 1;
    else if (signal == SIGTSTP)
        stop_recorded = stop_recorded != 0 || ending_signal == 0;
    else if (ending_signal == 0)
        ending_signal = signal;
    const int error = errno;
    (void)!write(wake_pipe[1], "", 1); // a full pipe wakes it as well
    errno = error;
}

using action = void (*)(int);
// Gives a signal an action, unless the starter chose to ignore it (the continue excepted); returns
// the one it had. Handlers wait for each other: a stop and a continue are recorded as they came.
action set_action(int signal, action handler)
{
    struct sigaction wanted {};
    struct sigaction found {};
    sigaction(signal, nullptr, &found);
    wanted.sa_handler = handler;
    sigfillset(&wanted.sa_mask);
    if (found.sa_handler != SIG_IGN || signal == SIGCONT)
        sigaction(signal, &wanted, nullptr);
    return found.sa_handler;
}

void set_actions(action handler)
{
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGCONT})
        set_action(signal, handler);
}

// fd moved above the standard streams, which may have been left closed, closed on exec, and
// non-blocking: a handler never waits for the wake pipe, nor the program for its terminal.
int own_descriptor(int fd)
{
    const int own = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
    close(fd);
    fcntl(own, F_SETFL, O_NONBLOCK);
    return own;
}

// The terminal device fd is open on, or 0 when it is none.
dev_t terminal_of(int fd)
{
    struct stat status {};
    return isatty(fd) && fstat(fd, &status) == 0 ? status.st_rdev : 0;
}

// The program's own descriptor on standard output's terminal: /dev/tty for the controlling one,
// whoever owns it (not a master, read by a program, whose tcgetpgrp answers), else its name.
int open_own_terminal()
{
    const pid_t foreground = tcgetpgrp(standard_output);
    const char* const name = foreground != -1 ? "/dev/tty" : ttyname(standard_output);
    const int fd = name != nullptr ? open(name, O_RDWR | O_NONBLOCK | O_NOCTTY) : -1;
    const bool same = fd >= 0 && tcgetpgrp(fd) == foreground &&
                      (foreground != -1 || terminal_of(fd) == terminal_of(standard_output));
    return same ? own_descriptor(fd) : (close(fd), -1);
}

// Without a terminal of its own (or descriptors for it) the signals keep their default actions.
void set_up_terminal()
{
    const int own = isatty(standard_output) ? open_own_terminal() : -1;
    int ends[2];
    if (own >= 0 && pipe(ends) == 0)
        wake_pipe[0] = own_descriptor(ends[0]), wake_pipe[1] = own_descriptor(ends[1]);
    if (wake_pipe[0] < 0 || wake_pipe[1] < 0)
        return void(close(own));
    output_fd = own;
    input_fd = terminal_of(standard_input) == terminal_of(standard_output) ? own : standard_input;
    set_actions(record);
}

// Where all output is out and a colour may be on, sends the reset; returns how much went out.
size_t take_colour_away(bool all_out, int colour)
{
    return all_out && colour >= 0 && may_write_to_terminal() ? put(reset_sequence) : 0;
}

// Ctrl-Z. Where all was out, the colour goes first and is set again after the continue, with the
// prompt where the program stopped at it and waits in the foreground; returns what is then owed.
string stop_until_continued(string_view unsent, bool at_prompt, int colour)
{
    const size_t reset_sent = take_colour_away(unsent.empty(), colour);
    // SIGTSTP's default action, which the kernel leaves out in an orphaned job, raised held back so
    // that a stop meanwhile merges and a continue discards it; it stops in the second sigprocmask.
    sigset_t stop, let_in;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_BLOCK, &stop, &let_in);
    const action kept = set_action(SIGTSTP, SIG_DFL);
    continued = 0;
    if (stop_recorded != 0)
        raise(SIGTSTP);
    stop_recorded = 0;
    sigprocmask(SIG_SETMASK, &let_in, nullptr);
    set_action(SIGTSTP, kept);
    string owed(reset_sent > 0 ? reset_sequence.substr(reset_sent) : unsent);
    if (reset_sent > 0 && colour > 0)
        owed += "\033[" + to_string(colour) + 'm';
    at_prompt = at_prompt && unsent.empty() && continued && tcgetpgrp(output_fd) == getpgrp();
    return owed + string(at_prompt ? prompt : "");
}

// Carries out what was recorded, first come first, then writes the rest of the flush it came in,
// which leaves colour in force; one left unsent (a stuck terminal, say) is acted on as it stands.
void carry_out_signals(string_view unsent, bool at_prompt, int colour)
{
    string owed;
    while (signal_recorded()) {
        if (stop_recorded != 0) {
            unsent = owed = stop_until_continued(unsent, at_prompt, colour);
        } else { // the signal's default action, so that the shell sees what ended the program
            take_colour_away(unsent.empty(), colour);
            set_action(ending_signal, SIG_DFL);
            raise(ending_signal);
        }
        unsent.remove_prefix(put(unsent));
    }
}

// Signals get their default actions back, so that none is lost at exit; then what came is done.
void leave_terminal(int colour)
{
    if (at_terminal())
        set_actions(SIG_DFL);
    carry_out_signals({}, false, colour);
}

#endif

} // namespace
