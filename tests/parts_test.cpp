// Tests of the colour lookup and of the bytes each piece of a gnome draws.
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "../parts.h"
#include "capture.h"

// Defined with the drawings; the program itself needs it nowhere else.
int get_colour_code_from_string(std::string colour);

namespace {

TEST(ColourLookup, NamesInTheTableGiveTheirCodes)
{
    const std::pair<const char*, int> table[] = {
        {"black", 30}, {"red", 31},     {"green", 32}, {"yellow", 33},
        {"blue", 34},  {"magenta", 35}, {"cyan", 36},  {"white", 37},
    };
    for (const auto& [name, code] : table)
        EXPECT_EQ(get_colour_code_from_string(name), code) << name;
}

TEST(ColourLookup, OnlyTheWholeExactNameCounts)
{
    for (const std::string name :
         {"", "Red", "RED", " red", "red ", "re", "redd", "purple", "Random", "random ", "\tblue"})
        EXPECT_EQ(get_colour_code_from_string(name), 0) << '"' << name << '"';
    EXPECT_EQ(get_colour_code_from_string(std::string("red\0", 4)), 0);
}

TEST(ColourLookup, RandomTakesExactlyOneValueFromTheGenerator)
{
    for (const unsigned seed : {1U, 42U, 20261207U}) {
        std::srand(seed);
        const int first = std::rand();
        const int second = std::rand();
        std::srand(seed);
        EXPECT_EQ(get_colour_code_from_string("random"), 30 + first % 8);
        EXPECT_EQ(std::rand(), second) << "seed " << seed;
    }
}

TEST(ColourLookup, RandomReachesEveryColourFromBlackToWhite)
{
    std::srand(1);
    std::set<int> seen;
    for (int draw = 0; draw < 1000; ++draw)
        seen.insert(get_colour_code_from_string("random"));
    EXPECT_EQ(seen, (std::set<int>{30, 31, 32, 33, 34, 35, 36, 37}));
}

TEST(ColourLookup, OtherNamesLeaveTheGeneratorAlone)
{
    std::srand(7);
    const int next = std::rand();
    std::srand(7);
    get_colour_code_from_string("red");
    get_colour_code_from_string("nonsense");
    get_colour_code_from_string("");
    EXPECT_EQ(std::rand(), next);
}

TEST(Drawing, LegsInBlue)
{
    EXPECT_EQ(written_text([] { legs("blue"); }),
              "\033[34m    |           |\n    |_____|_____|\033[0m\n    (____) (____)\n");
}

TEST(Drawing, PiecesStackIntoAWholeGnome)
{
    EXPECT_EQ(written_text([] {
                  head("red");
                  body("yellow");
                  legs("blue");
              }),
              golden("christmas.txt"));
}

TEST(Drawing, UnknownNamesDrawInTheDefaultRenditionWithTheUsualResets)
{
    EXPECT_EQ(written_text([] {
                  head("Red");
                  body("");
                  legs("purple");
              }),
              golden("default-colour.txt"));
}

// A person at a terminal sees each line as soon as it is drawn.
TEST(Drawing, EveryLineIsFlushedOnItsOwn)
{
    const std::pair<void (*)(std::string), std::size_t> pieces[] = {
        {head, 8}, {body, 5}, {legs, 3}};
    for (const auto& [draw, line_count] : pieces) {
        const auto writes = flushed_writes([draw = draw] { draw("green"); });
        ASSERT_EQ(writes.size(), line_count);
        for (const std::string& write : writes)
            EXPECT_EQ(write.find('\n'), write.size() - 1) << write;
    }
}

} // namespace
