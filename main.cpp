// main.cpp: quarnel's menu loop; shows the menu, reads choices and draws the chosen gnomes.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <locale>
#include <string>

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

int fail(const char* what)
{
    const int error = errno;
    cerr << string("quarnel: ") + what + " error: " + strerror(error) + "\n";
    return EXIT_FAILURE;
}

} // namespace

int main(int, char**)
{
    srand(static_cast<unsigned>(time(nullptr)));
    // Own stream buffers instead of C stdio: reading long tokens is several times faster, and every
    // flush becomes exactly one write.
    ios::sync_with_stdio(false);

    string user_input;
    while (!ends_program(user_input)) {
        show_menu();
        // Flushed here rather than by cin's tie, so that a failed write stops the program before
        // it reads any more input.
        if (!cout.flush())
            return fail("write");
        if (!read_token(cin, user_input))
            break;
        dispatch(user_input);
        if (!cout)
            return fail("write");
    }
    if (cin.bad())
        return fail("read");
    // Input ended at the prompt: close its line so the shell's prompt starts on a fresh one.
    if (cin.fail())
        cout << '\n';
    if (!cout.flush())
        return fail("write");
    return EXIT_SUCCESS;
}
