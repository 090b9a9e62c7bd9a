// What a person at a Windows console sees: the program run on a screen buffer of its own, and
// Ctrl-C typed at it.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Starts the program on the given standard handles, which it inherits; nullptr where it cannot.
HANDLE start_quarnel(HANDLE in, HANDLE out, HANDLE err)
{
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in;
    start.hStdOutput = out;
    start.hStdError = err;
    std::string command = std::string("\"") + QUARNEL + "\"";
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                        &started))
        return nullptr;
    CloseHandle(started.hThread);
    return started.hProcess;
}

// The exit code of a program, or STILL_ACTIVE where it has not ended within five seconds.
DWORD exit_code_of(HANDLE program)
{
    DWORD code = STILL_ACTIVE;
    WaitForSingleObject(program, 5000);
    GetExitCodeProcess(program, &code);
    return code;
}

SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};

// The program, writing to a new screen buffer of the test's console and reading the console's
// input, where keys are typed as a person types them.
class console_run {
  public:
    HANDLE screen;

    console_run()
    {
        screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                           CONSOLE_TEXTMODE_BUFFER, nullptr);
        keys =
            CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inherited, OPEN_EXISTING, 0, nullptr);
        program = start_quarnel(keys, screen, screen);
    }

    ~console_run()
    {
        if (program != nullptr) {
            TerminateProcess(program, 1);
            CloseHandle(program);
        }
        CloseHandle(keys);
        CloseHandle(screen);
    }

    bool started() const { return program != nullptr && screen != INVALID_HANDLE_VALUE; }

    // Each character on the key it is typed with: "\r" is Enter, "\x1a" Ctrl-Z.
    void type(const std::string& text)
    {
        std::vector<INPUT_RECORD> typed(text.size(), INPUT_RECORD{KEY_EVENT, {}});
        for (std::size_t i = 0; i < text.size(); ++i) {
            const SHORT key = VkKeyScanA(text[i]);
            typed[i].Event.KeyEvent = {TRUE, 1, WORD(key & 0xff), 0, {}, 0};
            typed[i].Event.KeyEvent.uChar.AsciiChar = text[i];
        }
        DWORD written = 0;
        WriteConsoleInputA(keys, typed.data(), DWORD(typed.size()), &written);
    }

    DWORD exit_code() { return exit_code_of(program); }

    // The screen buffer's text up to the cursor, row by row, each row's trailing blanks left out.
    std::wstring text() const
    {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(screen, &info);
        std::wstring all;
        for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
            std::wstring line(info.dwSize.X, L' ');
            DWORD read = 0;
            ReadConsoleOutputCharacterW(screen, &line[0], info.dwSize.X, COORD{0, row}, &read);
            if (row == info.dwCursorPosition.Y)
                line.resize(info.dwCursorPosition.X);
            line.erase(line.find_last_not_of(L' ') + 1);
            all += (row > 0 ? L"\n" : L"") + line;
        }
        return all;
    }

    // Waits until the screen ends with text; false where it never does.
    bool shows_at_end(const std::wstring& end) const
    {
        for (int waited = 0; waited < 5000; waited += 10, Sleep(10)) {
            const std::wstring shown = text();
            if (shown.size() >= end.size() &&
                shown.compare(shown.size() - end.size(), end.size(), end) == 0)
                return true;
        }
        return false;
    }

  private:
    HANDLE keys = nullptr;
    HANDLE program = nullptr;
};

struct console_state {
    DWORD mode;
    UINT code_page;
};

console_state state_of(HANDLE screen)
{
    console_state state{0, GetConsoleOutputCP()};
    GetConsoleMode(screen, &state.mode);
    return state;
}

// Ctrl-C reaches every program at the console; the test lives on.
BOOL WINAPI outlive(DWORD event) { return event == CTRL_C_EVENT; }

struct ending {
    const char* name;
    void (*end)(console_run&);
    DWORD exit_code;
};

void PrintTo(const ending& e, std::ostream* os) { *os << e.name; }

class Console : public testing::TestWithParam<ending> {};

// While the program waits at the prompt, the console takes colours and UTF-8; however it ends, the
// console's mode and code page are put back as they were.
TEST_P(Console, TakesColoursAndUmlautsAndIsLeftAsItWasFound)
{
    console_run run;
    if (!run.started())
        GTEST_SKIP() << "no console here: run the test at one";
    const console_state before = state_of(run.screen);
    ASSERT_TRUE(run.shows_at_end(L"Ihre Aktion:"))
        << "shown: " << testing::PrintToString(run.text());
    const console_state during = state_of(run.screen);
    EXPECT_TRUE(during.mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) << during.mode;
    EXPECT_EQ(during.code_page, UINT{CP_UTF8});
    EXPECT_EQ(run.text().substr(0, 39), L"Welche Aktion m\u00f6chten Sie durchf\u00fchren?\n");

    GetParam().end(run);
    EXPECT_EQ(run.exit_code(), GetParam().exit_code);
    const console_state after = state_of(run.screen);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_EQ(after.code_page, before.code_page);
}

INSTANTIATE_TEST_SUITE_P(
    Program, Console,
    testing::Values(ending{"ByChoice", [](console_run& run) { run.type("q\r"); }, 0},
                    ending{"AtEndOfInput",
                           [](console_run& run) {
                               run.type("1\r\x1a\r");
                               EXPECT_TRUE(run.shows_at_end(L"Ihre Aktion:\n"));
                               EXPECT_NE(run.text().find(L"    (____) (____)\nWelche"),
                                         run.text().npos);
                           },
                           0},
                    ending{"ByCtrlC",
                           [](console_run&) {
                               SetConsoleCtrlHandler(outlive, TRUE);
                               GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
                           },
                           DWORD(STATUS_CONTROL_C_EXIT)}),
    [](const testing::TestParamInfo<ending>& info) { return info.param.name; });

// Ctrl-C in the middle of a gnome takes the colour away before the end, and nothing comes after
// it. A console that shows the sequences as text (wine's) tells which came last; one that carries
// them out cannot, and there the check is skipped. Tried until Ctrl-C comes while a colour is on.
TEST(Console, CtrlCInAGnomeLeavesNoColourOn)
{
    SetConsoleCtrlHandler(outlive, TRUE);
    for (int attempt = 0; attempt < 10; ++attempt) {
        console_run run;
        if (!run.started())
            GTEST_SKIP() << "no console here: run the test at one";
        ASSERT_TRUE(run.shows_at_end(L"Ihre Aktion:"));
        std::string choices;
        for (int gnomes = 0; gnomes < 3000; ++gnomes)
            choices += "1 ";
        run.type(choices + "\r");
        Sleep(20 + attempt * 7);
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        ASSERT_EQ(run.exit_code(), DWORD(STATUS_CONTROL_C_EXIT));
        const std::wstring shown = run.text();
        const std::size_t last = shown.rfind(L"\x1b[");
        if (last == std::wstring::npos)
            GTEST_SKIP() << "this console carries out the sequences it is sent";
        ASSERT_EQ(shown.compare(last, 4, L"\x1b[0m"), 0) << "a colour is left on";
        const std::size_t before = shown.rfind(L"\x1b[", last - 1);
        if (shown.size() == last + 4 && shown.compare(before, 4, L"\x1b[0m") != 0)
            return;
    }
    FAIL() << "no Ctrl-C came while a colour was on";
}

// Standard output that takes no writes. The read end of a pipe is a write error, reported as on
// every other system, byte for byte, with status 1. A pipe whose reader is gone ends the program at
// once, with no message and the status a POSIX shell shows for a filter that SIGPIPE ended: Windows
// has no SIGPIPE.
TEST(Program, OutputThatTakesNoWrites)
{
    const std::string write_error =
        std::string("quarnel: write error: ") + std::strerror(EBADF) + "\n";
    for (const bool reader_gone : {false, true}) {
        HANDLE in = CreateFileA("NUL", GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr);
        HANDLE out_read = nullptr;
        HANDLE out_write = nullptr;
        HANDLE err_read = nullptr;
        HANDLE err_write = nullptr;
        ASSERT_TRUE(in != INVALID_HANDLE_VALUE &&
                    CreatePipe(&out_read, &out_write, &inherited, 0) &&
                    CreatePipe(&err_read, &err_write, &inherited, 0));
        if (reader_gone)
            CloseHandle(out_read);
        const HANDLE program = start_quarnel(in, reader_gone ? out_write : out_read, err_write);
        ASSERT_NE(program, nullptr);
        for (const HANDLE handle : {in, reader_gone ? nullptr : out_read, out_write, err_write})
            CloseHandle(handle);
        EXPECT_EQ(exit_code_of(program), reader_gone ? DWORD{141} : DWORD{1});
        char errors[256];
        DWORD got = 0;
        ReadFile(err_read, errors, sizeof errors, &got, nullptr);
        EXPECT_EQ(std::string(errors, got), reader_gone ? "" : write_error) << reader_gone;
        CloseHandle(err_read);
        CloseHandle(program);
    }
}

} // namespace
