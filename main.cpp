// main.cpp: quarnel's menu loop; shows the menu, reads choices and draws the chosen gnomes.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <locale>
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

// Standard output for the whole run. Each flush leaves as a single write(2), so a person at a
// terminal sees every picture line at once; the reason of the first failed write is kept for the
// error message.
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
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0) {
                error = errno;
                return -1;
            }
            next += written;
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

int report(const char* what, int error)
{
    cerr << string("quarnel: ") + what + " error: " + strerror(error) + "\n";
    return EXIT_FAILURE;
}

// Shows the menu and draws the chosen gnomes until "4", "q" or the end of input; returns the exit
// status.
int run_menu(const standard_output_buffer& output)
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
    if (cin.bad())
        return report("read", errno);
    // Input ended at the prompt: close its line so the shell's prompt starts on a fresh one.
    if (cin.fail())
        cout << '\n';
    if (!cout.flush())
        return report("write", output.first_error());
    return EXIT_SUCCESS;
}

} // namespace

int main(int, char**)
{
    srand(static_cast<unsigned>(time(nullptr)));
    // Standard input through its own buffer instead of C stdio: long tokens are read several times
    // faster.
    ios::sync_with_stdio(false);
    standard_output_buffer output;
    streambuf* const original = cout.rdbuf(&output);
    const int status = run_menu(output);
    cout.rdbuf(original);
    return status;
}
