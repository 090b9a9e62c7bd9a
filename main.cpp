// main.cpp: quarnel's menu loop; shows the menu, reads choices and draws the chosen gnomes.
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <locale>
#include <streambuf>
#include <string>
#include <string_view>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "gnome.h"

using namespace std;

namespace {

// Shown before every choice. Its last line is the prompt, which is shown again when the program is
// continued in the foreground while it waits for a choice.
constexpr string_view menu = "Welche Aktion möchten Sie durchführen?\n"
                             "[1] Weihnachtsgartenzwerg erzeugen\n"
                             "[2] Zufälligen Gartenzwerg erzeugen\n"
                             "[3] Österreich-Gartenzwerg erzeugen\n"
                             "[4/q] Programm beenden\n"
                             "Ihre Aktion: ";
constexpr string_view prompt = menu.substr(menu.rfind('\n') + 1);

struct choice {
    const char* token;
    void (*draw)();
};

// Tokens are compared whole and case-sensitively; anything else just brings the menu back.
constexpr choice choices[] = {
    {"1", christmas_gnome},
    {"2", random_gnome},
    {"3", austria_gnome},
};

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
        // Flushed here rather than by cin's tie, so that a failed write, here or in the gnome
        // just drawn, stops the program before it reads any more input.
        if (!cout.flush() || !read_token(cin, user_input))
            break;
        for (const choice& c : choices)
            if (user_input == c.token)
                c.draw();
    }
    return finish_standard_streams(ends_program(user_input));
}

namespace {

// Every choice is a single character, so this much of a token is enough to tell it apart. The rest
// of a longer token is read and dropped, which keeps memory bounded whatever the input.
constexpr streamsize kept_length = 64;

// Reads the next white-space-separated token as `in >> token` does, but keeps only its first
// kept_length characters. A peek past the end would mark the stream failed and lose the token.
istream& read_token(istream& in, string& token)
{
    in >> setw(kept_length) >> token;
    for (string dropped; token.size() == size_t(kept_length) && in && !in.eof();) {
        const istream::int_type next = in.peek();
        if (next == istream::traits_type::eof() || isspace(char(next), in.getloc()))
            break;
        in >> setw(kept_length) >> dropped;
    }
    return in;
}

// The standard streams and the terminal. At a terminal no colour of the program's may outlive it
// or stay on while it stands stopped. The signal handlers only record what came; write_out, the one
// place that acts on it, carries it out at the end of each flush, where the colour in force is
// known, at the prompt and at the end of the run. Files and pipes get no handler and no tracking.

constexpr string_view reset_sequence = "\033[0m";

// How long a recorded stop or end waits in all for a terminal that takes nothing (stopped with
// Ctrl-S, or read by nobody) to take the rest of a line and the reset; then it is carried out.
constexpr chrono::milliseconds patience{250};

// Recorded as the kernel would act on them: an end that came first leaves a later stop unrecorded,
// a stop that came first is carried out first, and a continue takes back a stop recorded before it.
volatile sig_atomic_t stop_recorded = 0;
volatile sig_atomic_t ending_signal = 0; // the first that came, or 0

void record_stop(int) { stop_recorded = stop_recorded != 0 || ending_signal == 0; }
void record_continue(int) { stop_recorded = 0; }
void record_end(int signal) { ending_signal = ending_signal != 0 ? ending_signal : signal; }

sigset_t guarded_signals;      // held back only to look at the records before a wait, and while
                               // a default action is set up
int output_fd = STDOUT_FILENO; // at a terminal, the program's own descriptor on it
int input_fd = STDIN_FILENO;   // the same, where standard input is that terminal too
chrono::steady_clock::time_point patience_ends; // {} until the main line sees a recorded signal
int colour_in_force = 0;  // the SGR code once all that was flushed is out; 0 is the default
bool colour_sent = false; // once set, may be on: Ctrl-C or Ctrl-Z throw away a reset not shown
bool at_prompt = false;   // the last flush ended with the prompt: the program waits for a choice
int output_error = 0;
int input_error = 0;

bool signal_recorded() { return (stop_recorded | ending_signal) != 0; }

bool in_foreground() { return tcgetpgrp(output_fd) == getpgrp(); }

// Under `stty tostop` a job in the background that writes to its terminal is stopped by it.
bool may_write_to_terminal()
{
    termios modes{};
    return in_foreground() || (tcgetattr(output_fd, &modes) == 0 && (modes.c_lflag & TOSTOP) == 0);
}

// What is left of the patience, counted from when the main line first saw a recorded signal.
chrono::nanoseconds patience_left()
{
    const chrono::steady_clock::time_point now = chrono::steady_clock::now();
    if (patience_ends == chrono::steady_clock::time_point{})
        patience_ends = now + patience;
    return patience_ends - now;
}

// A recorded stop or end lets the rest of a line go out first only where the terminal may be
// written to, and only for the patience.
bool must_act_now()
{
    return signal_recorded() && (!may_write_to_terminal() || patience_left().count() <= 0);
}

// The one wait, until fd is ready for reading or writing. Returns as pselect does, but 0 when a
// signal came. Guarded signals are let in only during the wait, so none can come unseen between
// the look at the records and its start. With a signal recorded it waits for input not at all, and
// for output only for what is left of the patience; the caller looks at the records first.
int wait_for(int fd, bool for_writing)
{
    sigset_t let_in;
    sigprocmask(SIG_BLOCK, &guarded_signals, &let_in);
    const bool recorded = signal_recorded();
    const long long left = recorded && for_writing ? patience_left().count() : 0;
    const timespec limit{0, static_cast<long>(left)}; // the patience is less than a second
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(fd, &fds);
    const int ready = recorded && left <= 0 ? 0
                                            : pselect(fd + 1, for_writing ? nullptr : &fds,
                                                      for_writing ? &fds : nullptr, nullptr,
                                                      recorded ? &limit : nullptr, &let_in);
    const int error = errno;
    sigprocmask(SIG_SETMASK, &let_in, nullptr);
    errno = error;
    return ready < 0 && error == EINTR ? 0 : ready;
}

// A read or write that failed only for now: interrupted, or on a descriptor left non-blocking.
bool not_ready(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

// The one write loop. Returns how much of text went out: all of it, unless a write failed (its
// reason is kept in output_error; a write that takes nothing counts as a full device, as in GNU
// cat) or a recorded signal is to be carried out first.
size_t put(string_view text)
{
    size_t sent = 0;
    while (sent < text.size() && !must_act_now()) {
        const ssize_t written = write(output_fd, text.data() + sent, text.size() - sent);
        if (written > 0)
            sent += static_cast<size_t>(written);
        else if (written == 0 || !not_ready(errno))
            output_error = written == 0 ? ENOSPC : errno;
        else if (errno != EINTR && wait_for(output_fd, true) < 0)
            output_error = errno;
        if (output_error != 0)
            break;
    }
    return sent;
}

// Without SA_RESTART, so that a call blocked when a signal comes returns to the main line. Handlers
// wait for each other, so that a stop and a continue are recorded in the order they came.
void set_action(int signal, void (*handler)(int), int flags = 0)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Ends the program by the signal's default action, or stops it until it is continued. The signal
// is raised while the guarded ones are held back and comes once they are let in again; a continue
// that came since the stop was recorded takes it back.
void take_default_action(int signal)
{
    sigset_t let_in;
    sigprocmask(SIG_BLOCK, &guarded_signals, &let_in);
    set_action(signal, SIG_DFL);
    raise(signal);
    if (signal == SIGTSTP && stop_recorded == 0)
        set_action(SIGTSTP, SIG_IGN); // drops the stop just raised
    stop_recorded = 0; // carried out, also where the kernel drops it (in an orphaned job)
    sigprocmask(SIG_SETMASK, &let_in, nullptr);
    set_action(SIGTSTP, record_stop); // only a stop comes back here
    patience_ends = {};
}

// Carries out what the handlers recorded, first come first, then writes the rest of text. At the
// end of the text the colour is taken away first, where the terminal may be written to; after a
// stop it is set again, and the prompt shown again at the prompt in the foreground. In the middle
// of the text, where only a stuck terminal or a job in the background leaves it, the program stops
// or ends as it is, and after a stop the rest follows.
void carry_out_signals(string_view text)
{
    string owed; // after a stop at the end of the text
    while (signal_recorded()) {
        const bool at_end = text.empty();
        const size_t reset_bytes_sent =
            at_end && colour_sent && may_write_to_terminal() ? put(reset_sequence) : 0;
        take_default_action(stop_recorded != 0 ? SIGTSTP : ending_signal);
        if (at_end) {
            const string colour = "\033[" + to_string(colour_in_force) + 'm';
            owed = reset_bytes_sent == 0 ? "" : string(reset_sequence.substr(reset_bytes_sent));
            owed += reset_bytes_sent != 0 && colour_in_force != 0 ? colour : "";
            owed += at_prompt && in_foreground() ? prompt : "";
            text = owed;
        }
        text.remove_prefix(put(text));
    }
}

// Writes all of text, or until a write fails, and carries out a signal recorded on the way, an end
// whatever became of the writes. Returns false once a write has failed.
bool write_out(string_view text)
{
    text.remove_prefix(put(text));
    if (signal_recorded())
        carry_out_signals(text);
    patience_ends = {}; // also for a stop taken back by a continue before it was carried out
    return output_error == 0;
}

// Every flush is whole lines with whole SGR sequences, so the colour in force once it is out is
// the last code in it, or the one before it when it has none. An empty flush shows nothing new.
void note_flush(string_view flushed)
{
    if (flushed.empty())
        return;
    at_prompt =
        flushed.size() >= prompt.size() && flushed.substr(flushed.size() - prompt.size()) == prompt;
    for (size_t escape = flushed.find('\033'); escape != string_view::npos;
         escape = flushed.find('\033', escape + 1)) {
        colour_sent = true;
        from_chars(flushed.data() + escape + 2, flushed.data() + flushed.size(), colour_in_force);
    }
}

// Standard output for the whole run. Each flush leaves as a single write(2) unless the descriptor
// takes less, so a person at a terminal sees every picture line at once.
class standard_output_buffer : public streambuf {
  public:
    standard_output_buffer() { setp(begin(buffer), end(buffer)); }

  protected:
    int sync() override
    {
        const string_view flushed(pbase(), static_cast<size_t>(pptr() - pbase()));
        if (output_fd != STDOUT_FILENO) // at a terminal
            note_flush(flushed);
        const bool sent = write_out(flushed);
        setp(begin(buffer), end(buffer));
        return sent ? 0 : -1;
    }

    int_type overflow(int_type c) override
    {
        if (sync() != 0)
            return traits_type::eof();
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        return sputc(traits_type::to_char_type(c));
    }

  private:
    char buffer[4096];
};

// Standard input for the whole run, read with read(2) so that a file can be handed on where the
// program stopped reading.
class standard_input_buffer : public streambuf {
  public:
    // Leaves a seekable input just past the white space that ended the last token, so that the
    // next reader of a shared file gets the rest. A choice is one character, so what ended it is
    // one white-space character, or the end of the input. Pipes and terminals cannot seek.
    void give_back_unread()
    {
        const off_t unread = egptr() - gptr();
        lseek(STDIN_FILENO, unread > 0 ? 1 - unread : 0, SEEK_CUR);
    }

  protected:
    // The one read, at the prompt, where all output is out, so that what came there is carried out
    // at once. It reads only what the wait says is there, so it never blocks with a signal
    // recorded.
    int_type underflow() override
    {
        while (gptr() == egptr()) {
            write_out({});
            const int ready = wait_for(input_fd, false);
            const ssize_t got = ready > 0 ? read(input_fd, buffer, sizeof buffer) : -1;
            if (got > 0) {
                setg(buffer, buffer, buffer + got);
            } else if (ready != 0 && (got == 0 || !not_ready(errno))) {
                input_error = got == 0 ? 0 : errno;
                return traits_type::eof();
            }
        }
        return traits_type::to_int_type(*gptr());
    }

  private:
    char buffer[65536];
};

standard_output_buffer output;
standard_input_buffer input;
streambuf* original_output = nullptr; // cout is flushed once more at exit, after output is gone

// The terminal device fd is open on, or 0 when it is none.
dev_t terminal_of(int fd)
{
    struct stat status {};
    return isatty(fd) && fstat(fd, &status) == 0 ? status.st_rdev : 0;
}

// A descriptor of the program's own on standard output's terminal: non-blocking, so that no write
// or read can keep a recorded signal waiting, and apart from the shell's, whose flags stay as they
// are. /dev/tty opens even where the terminal's name does not (run as another user on it). It is
// never 0, 1 or 2, which may have been left closed, and fits the wait; -1 where there is none.
int open_own_terminal()
{
    const char* const names[] = {"/dev/tty", ttyname(STDOUT_FILENO)};
    for (const char* name : names) {
        const int fd = name ? open(name, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
        const bool same = fd >= 0 && terminal_of(fd) == terminal_of(STDOUT_FILENO);
        const int own = same ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
        close(fd);
        if (own >= 0 && own < FD_SETSIZE)
            return own;
        close(own);
    }
    return -1;
}

// At a terminal the program cannot open for itself, the signals keep their default actions, as
// for files and pipes. Signals that whoever started the program ignores stay ignored.
void set_up_standard_streams()
{
    sigemptyset(&guarded_signals);
    const int terminal = isatty(STDOUT_FILENO) ? open_own_terminal() : -1;
    if (terminal >= 0) {
        output_fd = terminal;
        input_fd = terminal_of(STDIN_FILENO) == terminal_of(terminal) ? terminal : STDIN_FILENO;
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP}) {
            struct sigaction current {};
            sigaction(signal, nullptr, &current);
            if (current.sa_handler == SIG_IGN)
                continue;
            sigaddset(&guarded_signals, signal);
            // An ending signal is recorded once, so that a second one ends the program at once.
            if (signal == SIGTSTP)
                set_action(signal, record_stop);
            else
                set_action(signal, record_end, SA_RESETHAND);
        }
        set_action(SIGCONT, record_continue); // never held back: it always takes back a stop
    }
    original_output = cout.rdbuf(&output);
    cin.rdbuf(&input);
}

// Closes the prompt's line when input ended there, for the shell's prompt or the error message to
// start on a fresh one, reports a failed read or write, or hands on the rest of a shared input.
// A signal recorded after the last flush is carried out last.
int finish_standard_streams(bool ended_by_choice)
{
    if (cin.fail())
        cout << '\n';
    const bool flushed = static_cast<bool>(cout.flush());
    cout.rdbuf(original_output);
    const int error = flushed ? input_error : output_error;
    const char* const what = flushed ? "read" : "write";
    if (error != 0)
        cerr << string("quarnel: ") + what + " error: " + strerror(error) + "\n";
    else if (ended_by_choice)
        input.give_back_unread();
    write_out({});
    return error != 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}

} // namespace
