// parts.h: the three stacked pieces of a gnome, each drawn in one terminal colour.
#ifndef QUARNEL_PARTS_H
#define QUARNEL_PARTS_H

#include <string>

using namespace std;

// Each takes a colour name ("red", "random", ...) and writes its lines to standard output.
void head(string colour);
void body(string colour);
void legs(string colour);

#endif
