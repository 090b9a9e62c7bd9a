// capture.cpp: redirection of std::cout for drawing tests, and reading of golden files.
#include "capture.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

// Keeps everything written to it, starting a new piece at every flush.
class recording_buffer : public std::streambuf {
  public:
    std::vector<std::string> pieces{""};

  protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            pieces.back() += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    int sync() override
    {
        if (!pieces.back().empty())
            pieces.emplace_back();
        return 0;
    }
};

} // namespace

std::vector<std::string> flushed_writes(const std::function<void()>& draw)
{
    recording_buffer buffer;
    std::streambuf* const saved = std::cout.rdbuf(&buffer);
    draw();
    std::cout.rdbuf(saved);
    if (buffer.pieces.back().empty())
        buffer.pieces.pop_back();
    return buffer.pieces;
}

std::string written_text(const std::function<void()>& draw)
{
    std::string text;
    for (const std::string& piece : flushed_writes(draw))
        text += piece;
    return text;
}

std::string golden(const std::string& name)
{
    std::ifstream file(std::string(GOLDEN_DIR) + "/" + name, std::ios::binary);
    if (!file)
        throw std::runtime_error("no golden file " + name);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string repeated(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}
