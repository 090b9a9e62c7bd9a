// main.cpp: quarnel's menu loop; shows the menu, reads choices and draws the chosen gnomes.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <locale>
#include <poll.h>
#include <streambuf>
#include <string>
#include <unistd.h>

#include "gnome.h"

using namespace std;

// Signal handlers, with the linkage the C library calls them with.
extern "C" {
static void on_stop_signal(int);
static void on_ending_signal(int);
}

namespace {

constexpr const char* menu_texts[] = {
    "Welche Aktion möchten Sie durchführen?\n",
    "[1] Weihnachtsgartenzwerg erzeugen\n",
    "[2] Zufälligen Gartenzwerg erzeugen\n",
    "[3] Österreich-Gartenzwerg erzeugen\n",
    "[4/q] Programm beenden\n",
    "Ihre Aktion: ",
};

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

// Every choice is a single character, so this much of a token is enough to tell it apart. The rest
// of a longer token is read and dropped, which keeps memory bounded whatever the input.
constexpr streamsize kept_length = 64;

void show_menu()
{
    for (const char* text : menu_texts)
        cout << text;
}

bool ends_program(const string& token) { return token == "4" || token == "q"; }

void dispatch(const string& token)
{
    for (const choice& c : choices)
        if (token == c.token)
            c.draw();
}

bool at_token_end(istream& in)
{
    // A peek past the end would mark the stream failed and lose the token just read.
    if (in.eof())
        return true;
    const istream::int_type next = in.peek();
    return next == istream::traits_type::eof() ||
           isspace(istream::traits_type::to_char_type(next), in.getloc());
}

// Reads the next white-space-separated token as `in >> token` does, but keeps only its first
// kept_length characters.
istream& read_token(istream& in, string& token)
{
    if (!(in >> setw(kept_length) >> token))
        return in;
    string dropped;
    while (token.size() == static_cast<size_t>(kept_length) && in && !at_token_end(in))
        in >> setw(kept_length) >> dropped;
    return in;
}

// The terminal's default rendition, which no colour outlives.
constexpr char reset_sequence[] = "\033[0m";

// Shared with the signal handlers. Once colour_sent is set, a colour may be in force at the
// terminal whatever the program wrote after it: a terminal throws away output it has not shown yet
// when Ctrl-C or Ctrl-Z is typed, resets included. While drawing_in_colour is set, only the main
// line knows which colour reached the terminal, so a stop (Ctrl-Z) that comes then is left to it
// in stop_requested.
volatile sig_atomic_t colour_sent = 0;
volatile sig_atomic_t drawing_in_colour = 0;
volatile sig_atomic_t stop_requested = 0;

// After a failed read or write: whether to try again. A descriptor that someone else left
// non-blocking is waited for until it is ready, as a blocking one would have been.
bool worth_retrying(int fd, short event)
{
    if (errno == EINTR)
        return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    pollfd ready{fd, event, 0};
    poll(&ready, 1, -1);
    return true;
}

// Errors are left for the program's next write to find.
void write_fully(const char* text, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, size);
        if (written >= 0) {
            text += written;
            size -= static_cast<size_t>(written);
        } else if (!worth_retrying(STDOUT_FILENO, POLLOUT)) {
            return;
        }
    }
}

// How long a stop or an end waits for a terminal that takes nothing (stopped with Ctrl-S, or not
// read by anyone); waiting on it for good would keep the program from stopping or ending at all.
constexpr int patience_ms = 250;

// Writes text if the terminal takes it without keeping the program waiting for long; returns
// whether all of it went. Safe in a signal handler.
bool write_promptly(const char* text, size_t size)
{
    while (size > 0) {
        pollfd ready{STDOUT_FILENO, POLLOUT, 0};
        const int events = poll(&ready, 1, patience_ms);
        if (events == 0 || (events < 0 && errno != EINTR))
            return false;
        const ssize_t written = write(STDOUT_FILENO, text, size);
        if (written > 0) {
            text += written;
            size -= static_cast<size_t>(written);
        } else if (written < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

// Without SA_RESTART, so that a read or write blocked when a stop comes returns to the main line.
void set_action(int signal, void (*handler)(int), int flags)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

bool ignored(int signal)
{
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

// Returns whether no colour of the program's is left on.
bool take_colour_away()
{
    return colour_sent == 0 || write_promptly(reset_sequence, sizeof reset_sequence - 1);
}

// Stops the program as Ctrl-Z does by default; returns once it is continued.
void stand_stopped()
{
    set_action(SIGTSTP, SIG_DFL, 0);
    raise(SIGTSTP);
    set_action(SIGTSTP, on_stop_signal, SA_NODEFER);
}

// Follows the SGR sequences on their way to the terminal, so that a stop can take away the colour
// in force and set it again exactly where the picture goes on.
class terminal_rendition {
  public:
    // Before a chunk is written.
    void expect(const char* begin, const char* end)
    {
        const bool sends_colour =
            memchr(begin, '\033', static_cast<size_t>(end - begin)) != nullptr;
        if (sends_colour)
            colour_sent = 1;
        drawing_in_colour = sends_colour || colour_may_show();
    }

    // Bytes that reached the terminal.
    void follow(const char* begin, const char* end)
    {
        for (const char* next = begin; next < end; ++next)
            read_byte(*next);
    }

    // After a chunk is through, at its end.
    void settle(const char* end)
    {
        drawing_in_colour = colour_may_show();
        stop_if_asked(end, end);
    }

    // A stop that came while drawing in colour is carried out here, between two writes of the
    // chunk [next, end), where what reached the terminal is known: a sequence written in part is
    // finished first, and the colour in force is taken away while the program stands and set again
    // when it goes on. A terminal that takes nothing gets nothing more, and the program stops as
    // it is. Returns where the chunk goes on.
    const char* stop_if_asked(const char* next, const char* end)
    {
        if (stop_requested == 0)
            return next;
        stop_requested = 0;
        for (; reading != state::text && next < end && write_promptly(next, 1); ++next)
            read_byte(*next);
        const bool uncoloured = reading == state::text && take_colour_away();
        stand_stopped();
        if (uncoloured && colour != 0) {
            const string colour_on = "\033[" + to_string(colour) + 'm';
            write_fully(colour_on.data(), colour_on.size());
        }
        return next;
    }

  private:
    enum class state { text, escape, sequence };

    // A colour is in force, or a sequence written in part may yet set one.
    bool colour_may_show() const { return colour != 0 || reading != state::text; }

    void read_byte(char c)
    {
        if (c == '\033') {
            reading = state::escape;
            code = 0;
        } else if (reading == state::escape) {
            reading = c == '[' ? state::sequence : state::text;
        } else if (reading == state::sequence && c >= '0' && c <= '9') {
            code = min(code * 10 + (c - '0'), 1000);
        } else if (reading == state::sequence) {
            if (c == 'm')
                colour = code;
            reading = state::text;
        }
    }

    state reading = state::text;
    int code = 0;   // of the sequence being read
    int colour = 0; // the SGR code in force; 0 is the default rendition
};

} // namespace

extern "C" {

// Ctrl-Z. Unless the main line is drawing in colour it stops here and now; otherwise the main line
// stops at its next write, which this signal interrupts if it is blocked.
static void on_stop_signal(int)
{
    const int saved_errno = errno;
    if (drawing_in_colour != 0) {
        stop_requested = 1;
    } else {
        take_colour_away();
        stand_stopped();
    }
    errno = saved_errno;
}

// Installed to run once (SA_RESETHAND) and unblocked (SA_NODEFER), so that the signal raised again
// ends the program as it would have without the handler, and a second one ends it at once.
static void on_ending_signal(int signal)
{
    take_colour_away();
    raise(signal);
}
}

namespace {

// At a terminal no colour of the program's may outlive it or stay on while it stands stopped.
// Signals that whoever started the program chose to ignore stay ignored.
void guard_terminal_colour()
{
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        if (!ignored(signal))
            set_action(signal, on_ending_signal, SA_RESETHAND | SA_NODEFER);
    if (!ignored(SIGTSTP))
        set_action(SIGTSTP, on_stop_signal, SA_NODEFER);
}

// Standard output for the whole run. Each flush leaves as a single write(2) unless the descriptor
// takes less, so a person at a terminal sees every picture line at once; the reason of the first
// failed write is kept for the error message.
class standard_output_buffer : public streambuf {
  public:
    standard_output_buffer() { setp(begin(buffer), end(buffer)); }
    int first_error() const { return error; }

  protected:
    int sync() override
    {
        if (error != 0)
            return -1;
        terminal.expect(pbase(), pptr());
        for (const char* next = pbase(); (next = terminal.stop_if_asked(next, pptr())) < pptr();) {
            const ssize_t written = write(STDOUT_FILENO, next, static_cast<size_t>(pptr() - next));
            if (written >= 0) {
                terminal.follow(next, next + written);
                next += written;
            } else if (!worth_retrying(STDOUT_FILENO, POLLOUT)) {
                error = errno;
                return -1;
            }
        }
        terminal.settle(pptr());
        setp(begin(buffer), end(buffer));
        return 0;
    }

    int_type overflow(int_type c) override
    {
        if (sync() != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            sputc(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }

  private:
    char buffer[4096];
    int error = 0;
    terminal_rendition terminal;
};

// Standard input for the whole run, read with read(2) so that a non-blocking descriptor is waited
// for and a file can be handed on where the program stopped reading; the reason of a failed read
// is kept for the error message.
class standard_input_buffer : public streambuf {
  public:
    int first_error() const { return error; }

    // Leaves a seekable input just past the white space that ended the last token, so that the
    // next reader of a shared file gets the rest. Pipes and terminals cannot seek.
    void give_back_unread()
    {
        if (gptr() < egptr() && isspace(static_cast<unsigned char>(*gptr())))
            gbump(1);
        if (gptr() < egptr())
            lseek(STDIN_FILENO, gptr() - egptr(), SEEK_CUR);
    }

  protected:
    int_type underflow() override
    {
        if (gptr() == egptr() && !fill())
            return traits_type::eof();
        return traits_type::to_int_type(*gptr());
    }

  private:
    bool fill()
    {
        for (;;) {
            const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got >= 0) {
                setg(buffer, buffer, buffer + got);
                return got > 0;
            }
            if (!worth_retrying(STDIN_FILENO, POLLIN)) {
                error = errno;
                return false;
            }
        }
    }

    char buffer[65536];
    int error = 0;
};

int report(const char* what, int error)
{
    cerr << string("quarnel: ") + what + " error: " + strerror(error) + "\n";
    return EXIT_FAILURE;
}

// Shows the menu and draws the chosen gnomes until "4", "q" or the end of input; returns the exit
// status.
int run_menu(const standard_output_buffer& output, standard_input_buffer& input)
{
    string user_input;
    while (!ends_program(user_input)) {
        show_menu();
        // Flushed here rather than by cin's tie, so that a failed write, here or in the gnome
        // just drawn, stops the program before it reads any more input.
        if (!cout.flush() || !read_token(cin, user_input))
            break;
        dispatch(user_input);
    }
    // Input ended or failed at the prompt: close its line, so that the shell's prompt or the error
    // message starts on a fresh one.
    if (cin.fail())
        cout << '\n';
    if (!cout.flush())
        return report("write", output.first_error());
    if (input.first_error() != 0)
        return report("read", input.first_error());
    if (ends_program(user_input))
        input.give_back_unread();
    return EXIT_SUCCESS;
}

} // namespace

int main(int, char**)
{
    srand(static_cast<unsigned>(time(nullptr)));
    standard_output_buffer output;
    standard_input_buffer input;
    streambuf* const original_output = cout.rdbuf(&output);
    streambuf* const original_input = cin.rdbuf(&input);
    if (isatty(STDOUT_FILENO))
        guard_terminal_colour();
    const int status = run_menu(output, input);
    cout.rdbuf(original_output);
    cin.rdbuf(original_input);
    return status;
}
