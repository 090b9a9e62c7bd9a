// Tests of the three kinds of gnome: their exact bytes and their use of the random generator.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "../gnome.h"
#include "../parts.h"
#include "capture.h"

namespace {

TEST(Gnome, ChristmasGnomeIsRedYellowBlue)
{
    EXPECT_EQ(written_text(christmas_gnome), golden("christmas.txt"));
}

TEST(Gnome, AustriaGnomeIsRedWhiteRed)
{
    EXPECT_EQ(written_text(austria_gnome), golden("austria.txt"));
}

// The generator is seeded here, so the three values the gnome must draw are known in advance.
TEST(Gnome, RandomGnomeDrawsOneValuePerPieceInOrder)
{
    static const char* const names[] = {"black", "red",     "green", "yellow",
                                        "blue",  "magenta", "cyan",  "white"};
    for (const unsigned seed : {3U, 99U, 4242U}) {
        std::srand(seed);
        const int head_value = std::rand();
        const int body_value = std::rand();
        const int legs_value = std::rand();
        const int next_value = std::rand();
        const std::string expected = written_text([&] {
            head(names[head_value % 8]);
            body(names[body_value % 8]);
            legs(names[legs_value % 8]);
        });

        std::srand(seed);
        EXPECT_EQ(written_text(random_gnome), expected) << "seed " << seed;
        EXPECT_EQ(std::rand(), next_value) << "seed " << seed;
    }
}

TEST(Gnome, EachGnomeIsSixteenLinesEndingUncoloured)
{
    for (void (*gnome)() : {christmas_gnome, random_gnome, austria_gnome}) {
        const auto writes = flushed_writes(gnome);
        ASSERT_EQ(writes.size(), 16U);
        EXPECT_EQ(writes.back(), "    (____) (____)\n");
    }
}

} // namespace
