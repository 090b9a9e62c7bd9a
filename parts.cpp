// parts.cpp: the colour table, the picture lines, and the drawing of one coloured piece.
#include "parts.h"

#include <cstddef>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string_view>

using namespace std;

namespace {

struct colour_entry {
    string_view name;
    int code;
};

// SGR foreground codes. Names are compared whole and case-sensitively; "random" and any other
// name are handled after the table.
constexpr colour_entry colour_table[] = {
    {"black", 30}, {"red", 31},     {"green", 32}, {"yellow", 33},
    {"blue", 34},  {"magenta", 35}, {"cyan", 36},  {"white", 37},
};

constexpr int first_colour_code = 30;
constexpr int colour_count = 8;
constexpr int default_rendition = 0;

// One picture line per row, exactly as written to the terminal.
// clang-format off
constexpr string_view head_lines[] = {
    R"(         .-.)",
    R"(       ,'   '.)",
    R"(      /       \)",
    R"(     /         \)",
    R"(    /_,.-----.,_\)",
    R"(   ('_.-.---.-._'))",
    R"(    ()(o)   (o)())",
    R"(    \(_.-(_)-._)/)",
};

constexpr string_view body_lines[] = {
    R"(   _/    '-'    \_)",
    R"(  / \_         _/ \)",
    R"( /  / '-.___.-' \  \)",
    R"(|__/'._  ___  _.'\__|)",
    R"((__)\__'|[-]|'__/(__))",
};

constexpr string_view legs_lines[] = {
    R"(    |           |)",
    R"(    |_____|_____|)",
    R"(    (____) (____))",
};
// clang-format on

// A piece is drawn in its colour down to and including its last coloured line; the lines below
// it (the face, the hands, the feet) always keep the terminal's default colour.
struct piece {
    const string_view* lines;
    size_t line_count;
    size_t coloured_lines;
};

constexpr piece head_piece{head_lines, size(head_lines), 6};
constexpr piece body_piece{body_lines, size(body_lines), 4};
constexpr piece legs_piece{legs_lines, size(legs_lines), 2};

} // namespace

// Turns a colour name into an SGR colour code. "random" takes exactly one value from rand(); any
// name outside the table gives the default rendition, so a drawing never fails.
int get_colour_code_from_string(string colour)
{
    for (const colour_entry& entry : colour_table)
        if (colour == entry.name)
            return entry.code;
    if (colour == "random")
        return first_colour_code + rand() % colour_count;
    return default_rendition;
}

namespace {

void draw(const piece& drawing, const string& colour)
{
    const int colour_code = get_colour_code_from_string(colour);
    cout << "\033[" + to_string(colour_code) + 'm';
    for (size_t line = 0; line < drawing.line_count; ++line) {
        cout << drawing.lines[line];
        if (line + 1 == drawing.coloured_lines)
            cout << "\033[0m";
        cout << endl;
    }
}

} // namespace

void head(string colour) { draw(head_piece, colour); }

void body(string colour) { draw(body_piece, colour); }

void legs(string colour) { draw(legs_piece, colour); }
