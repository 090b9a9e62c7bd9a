// main.cpp: quarnel's menu loop; shows the menu, reads choices and draws the chosen gnomes.
#include <cctype>
#include <cerrno>
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
        for (const char* next = pbase(); next < pptr();) {
            const ssize_t written = write(STDOUT_FILENO, next, static_cast<size_t>(pptr() - next));
            if (written >= 0) {
                next += written;
            } else if (!worth_retrying(STDOUT_FILENO, POLLOUT)) {
                error = errno;
                return -1;
            }
        }
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
    const int status = run_menu(output, input);
    cout.rdbuf(original_output);
    cin.rdbuf(original_input);
    return status;
}
