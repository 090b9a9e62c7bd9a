// gnome.cpp: each kind of gnome is a fixed choice of colour names for head, body and legs.
#include "gnome.h"

#include "parts.h"

using namespace std;

namespace {

struct recipe {
    const char* head_colour;
    const char* body_colour;
    const char* legs_colour;
};

// "random" is resolved by each piece on its own, so a random gnome makes three separate draws.
constexpr recipe christmas{"red", "yellow", "blue"};
constexpr recipe random_colours{"random", "random", "random"};
constexpr recipe austria{"red", "white", "red"};

// The pieces stack directly, with nothing written between them.
void draw(const recipe& gnome)
{
    head(gnome.head_colour);
    body(gnome.body_colour);
    legs(gnome.legs_colour);
}

} // namespace

void christmas_gnome() { draw(christmas); }

void random_gnome() { draw(random_colours); }

void austria_gnome() { draw(austria); }
