// main.cpp: quarnel's menu loop; shows the menu, reads choices and draws the chosen gnomes.
#include <cerrno>
#include <charconv>
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
#include <termios.h>
#include <unistd.h>

#include "gnome.h"

using namespace std;

namespace {

// Shown before every choice, written whole.
constexpr string_view menu = "Welche Aktion möchten Sie durchführen?\n"
                             "[1] Weihnachtsgartenzwerg erzeugen\n"
                             "[2] Zufälligen Gartenzwerg erzeugen\n"
                             "[3] Österreich-Gartenzwerg erzeugen\n"
                             "[4/q] Programm beenden\n"
                             "Ihre Aktion: ";

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
// or stay on while it stands stopped. The signal handlers only record what came, and the main line
// carries it out: at the end of a line, where the colour in force is known, at the prompt, and in
// the middle of a line once a terminal that takes nothing has used up the patience. Files and
// pipes get no handler and no tracking.

constexpr char reset_sequence[] = "\033[0m";

// How long a recorded stop or end waits for a terminal that takes nothing (stopped with Ctrl-S, or
// read by nobody) to take the rest of a line and the reset; then it is carried out as it is.
constexpr long long patience_ns = 250'000'000;

volatile sig_atomic_t stop_recorded = 0;
volatile sig_atomic_t end_recorded = 0; // the number of the signal

// A SIGCONT discards a stop recorded before it, as the kernel discards a pending one.
void record_stop(int) { stop_recorded = 1; }
void record_continue(int) { stop_recorded = 0; }
void record_end(int signal) { end_recorded = signal; }

bool guarding = false;         // standard output is a terminal, with the handlers installed
sigset_t guarded_signals;      // let in only while the program waits
int output_fd = STDOUT_FILENO; // at a terminal, a non-blocking descriptor of the program's own
long long recorded_since = 0;  // when the main line first saw what is recorded; 0: nothing
int colour_in_force = 0;       // the SGR code once the last line is out; 0 is the default
bool colour_sent = false;      // once set, may stay on: Ctrl-C or Ctrl-Z flush any reset not shown
int output_error = 0;
int input_error = 0;

bool signal_recorded() { return stop_recorded != 0 || end_recorded != 0; }

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

// Signals that whoever started the program chose to ignore stay ignored.
void guard(int signal, void (*handler)(int), int flags)
{
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    if (current.sa_handler != SIG_IGN) {
        sigaddset(&guarded_signals, signal);
        set_action(signal, handler, flags);
    }
}

// The one wait, until fd is ready for reading or writing (or pselect fails, for the call to say
// why). Guarded signals are let in only while it waits, so none can come between looking at what is
// recorded and starting to wait. A recorded stop or end may be kept waiting for output for the
// patience in all, counted from when the main line first saw it, for input not at all; the wait
// returns false then.
bool wait_for(int fd, bool for_writing)
{
    for (;;) {
        sigset_t unguarded;
        sigprocmask(SIG_BLOCK, &guarded_signals, &unguarded);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long now_ns = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
        const bool recorded = signal_recorded();
        recorded_since = !recorded ? 0 : recorded_since != 0 ? recorded_since : now_ns;
        const long long left = recorded_since + (for_writing ? patience_ns : 0) - now_ns;
        const timespec limit{0, static_cast<long>(left)};
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(fd, &ready);
        const bool patient = !recorded || left > 0;
        const int result = patient ? pselect(fd + 1, for_writing ? nullptr : &ready,
                                             for_writing ? &ready : nullptr, nullptr,
                                             recorded ? &limit : nullptr, &unguarded)
                                   : 0;
        sigprocmask(SIG_SETMASK, &unguarded, nullptr); // leaves errno as pselect set it
        if (!patient || result > 0 || (result < 0 && errno != EINTR))
            return patient;
    }
}

// A read or write that failed only for now: interrupted, or on a descriptor left non-blocking.
bool not_ready(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

// The one write loop, inline on the path every line takes. Returns where it stopped: at end, unless
// a write failed (the reason is kept in output_error) or a recorded stop or end ran out of
// patience.
inline const char* put(const char* next, const char* end)
{
    while (next < end) {
        const ssize_t written = write(output_fd, next, size_t(end - next));
        if (written >= 0) {
            next += written;
        } else if (!not_ready(errno)) {
            output_error = errno;
            break;
        } else if (!wait_for(output_fd, true)) {
            break;
        }
    }
    return next;
}

// Every flush is whole lines with whole SGR sequences, so the colour in force once a line is out
// is the last code in it, or the one before it when the line has none.
void note_colour(string_view flushed)
{
    const size_t escape = flushed.rfind('\033');
    if (escape == string_view::npos)
        return;
    colour_sent = true;
    from_chars(flushed.data() + escape + 2, flushed.data() + flushed.size(), colour_in_force);
}

// A job in the background may write to its terminal only without `stty tostop`: otherwise the
// write would stop it (SIGTTOU), and so would a reset.
bool may_write_to_terminal()
{
    termios modes{};
    return tcgetpgrp(output_fd) == getpgrp() ||
           (tcgetattr(output_fd, &modes) == 0 && (modes.c_lflag & TOSTOP) == 0);
}

// Ends the program by the signal's default action, or stops it until it is continued. A SIGCONT
// since the stop was recorded cancels it: through the record, or in the kernel once it is raised.
void take_default_action(int signal)
{
    sigset_t unguarded;
    sigprocmask(SIG_BLOCK, &guarded_signals, &unguarded);
    set_action(signal, SIG_DFL);
    raise(signal);
    if (signal == SIGTSTP && stop_recorded == 0)
        set_action(SIGTSTP, SIG_IGN); // discards the stop just raised
    sigprocmask(SIG_SETMASK, &unguarded, nullptr);
    set_action(SIGTSTP, record_stop);
}

// Carries out what the handlers recorded, then writes the rest of the line. At a line's end the
// colour is taken away first, where the terminal may be written to, and after a stop set again;
// in the middle of a line, where only a stuck terminal leaves it, it stops or ends as it is.
bool carry_out_signals(const char* next, const char* end)
{
    string again; // the rest of a reset cut short, and the colour, to send before anything else
    while (output_error == 0 && (next < end || signal_recorded())) {
        if (signal_recorded()) {
            const char* reset_sent = reset_sequence; // how far the reset went
            if (next == end && colour_sent && may_write_to_terminal())
                reset_sent = put(reset_sequence, std::end(reset_sequence) - 1);
            take_default_action(end_recorded != 0 ? end_recorded : SIGTSTP);
            recorded_since = 0;
            if (reset_sent != reset_sequence) {
                const string colour = "\033[" + to_string(colour_in_force) + 'm';
                again = reset_sent + (colour_in_force != 0 ? colour : string());
                next = again.data();
                end = next + again.size();
            }
        }
        next = put(next, end);
    }
    return output_error == 0;
}

// Standard output for the whole run. Each flush leaves as a single write(2) unless the descriptor
// takes less, so a person at a terminal sees every picture line at once.
class standard_output_buffer : public streambuf {
  public:
    standard_output_buffer() { setp(begin(buffer), end(buffer)); }

  protected:
    int sync() override
    {
        if (guarding)
            note_colour({pbase(), size_t(pptr() - pbase())});
        const char* const next = put(pbase(), pptr());
        const bool sent = (next == pptr() && !signal_recorded()) || carry_out_signals(next, pptr());
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
    // next reader of a shared file gets the rest. Pipes and terminals cannot seek.
    void give_back_unread()
    {
        const bool space_next = gptr() < egptr() && isspace(static_cast<unsigned char>(*gptr()));
        lseek(STDIN_FILENO, gptr() + space_next - egptr(), SEEK_CUR);
    }

  protected:
    // The one read. It waits first, so that a stop or an end that comes at the prompt, where all
    // is out, is carried out at once.
    int_type underflow() override
    {
        while (gptr() == egptr()) {
            carry_out_signals(buffer, buffer);
            if (!wait_for(STDIN_FILENO, false))
                continue;
            const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got > 0) {
                setg(buffer, buffer, buffer + got);
            } else if (got == 0 || !not_ready(errno)) {
                input_error = got < 0 ? errno : 0;
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

void set_up_standard_streams()
{
    sigemptyset(&guarded_signals);
    if (isatty(STDOUT_FILENO)) {
        // Run once, so that a second ending signal ends the program at once, whatever it is doing.
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
            guard(signal, record_end, SA_RESETHAND);
        guard(SIGTSTP, record_stop, 0);
        set_action(SIGCONT, record_continue); // never blocked, so that it always clears a stop
        // A descriptor of the program's own never blocks, so no write can keep a recorded signal
        // waiting, and the shell's keeps its flags. Where the terminal cannot be opened again
        // (owned by another user, say), the program writes to standard output as it is.
        const char* const name = ttyname(STDOUT_FILENO);
        const int fd = name ? open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
        output_fd = fd >= 0 ? fd : STDOUT_FILENO;
        guarding = true;
    }
    original_output = cout.rdbuf(&output);
    cin.rdbuf(&input);
}

// Closes the prompt's line when input ended there, for the shell's prompt or the error message to
// start on a fresh one, reports a failed read or write, or hands on the rest of a shared input.
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
    return error != 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}

} // namespace
