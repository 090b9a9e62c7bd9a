// capture.h: what code under test wrote to std::cout, and the expected outputs kept beside the
// tests.
#ifndef QUARNEL_TESTS_CAPTURE_H
#define QUARNEL_TESTS_CAPTURE_H

#include <functional>
#include <string>
#include <vector>

// Runs draw with std::cout redirected; returns what it wrote, cut at every flush.
std::vector<std::string> flushed_writes(const std::function<void()>& draw);

// Runs draw with std::cout redirected; returns all it wrote.
std::string written_text(const std::function<void()>& draw);

// The bytes of the golden file tests/golden/name.
std::string golden(const std::string& name);

// text, times times over.
std::string repeated(const std::string& text, int times);

#endif
