// gnome.h: the three kinds of gnome the menu offers, each written whole to standard output.
#ifndef QUARNEL_GNOME_H
#define QUARNEL_GNOME_H

void christmas_gnome();
void random_gnome();
void austria_gnome();

#endif
