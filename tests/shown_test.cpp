// Names made safe for a terminal: the one rule, checked on every kind of character, at a
// terminal and elsewhere, in both of its forms; and the status line as a terminal receives it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#endif

#include "pack/progress.h"
#include "report/listing.h"
#include "report/progress_line.h"
#include "report/shown.h"

namespace {

TEST(Shown, ControlCharactersBecomeQuestionMarksAtATerminalOnly) {
    const struct {
        std::string text;
        std::string shown;  // at a terminal
    } cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"\x1b]0;owned\x07", "?]0;owned?"},      // a title, ended by BEL
        {"\x1b[2J\x1b[31mred", "?[2J?[31mred"},  // clear, colour
        {"tab\tline\ncarriage\rend", "tab?line?carriage?end"},
        {"\x01\x1f \x7f~", "?? ?~"},  // the edges of the range
        {"caf\xc3\xa9 \xd0\xb6\xd1\x83\xd0\xba", "caf\xc3\xa9 \xd0\xb6\xd1\x83\xd0\xba"},  // UTF-8
        {"\x80\xa0\xff", "\x80\xa0\xff"},  // bytes above ASCII stay
    };
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
#ifndef _WIN32
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::FILE* terminal = std::fopen(ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(Shown(file, c.text), c.text);
#ifndef _WIN32
        EXPECT_EQ(Shown(terminal, c.text), c.shown);
#endif
        for (const bool atTerminal : {true, false}) {
            std::string text = c.text;
            ShowInPlace(text.data(), atTerminal);
            EXPECT_EQ(text, atTerminal ? c.shown : c.text);
        }
        if (c.text.size() < sizeof ShownName::text) {  // standard output here is no terminal
            EXPECT_EQ(ShownName(c.text.c_str()).text, c.text);
        }
    }
    std::fclose(file);
#ifndef _WIN32
    std::fclose(terminal);
    close(master);
#endif
}

#ifndef _WIN32
// Standard error on a terminal, shown anew as fast as it can be (a refresh of 0) until it ends,
// once shown, or not within its life: the line, once stopped, is covered whole by one run of
// spaces, and nothing follows.
TEST(Shown, TheStatusLineIsErasedWholeOnceItsThreadStops) {
    const struct {
        int refresh;  // milliseconds
        bool shows;
    } cases[] = {{0, true}, {60000, false}};
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_TRUE(grantpt(master) == 0 && unlockpt(master) == 0);
    const int slave = open(ptsname(master), O_WRONLY | O_NOCTTY);
    ASSERT_GE(slave, 0);
    SharedProgress().Start(3, 5 << 20);
    for (const auto& c : cases) {
        for (int run = 0; run < 20; ++run) {
            SCOPED_TRACE(std::to_string(c.refresh) + " ms, " + std::to_string(run));
            std::atomic<bool> ended{false};
            std::atomic<std::size_t> received{0};
            std::string shown;
            std::thread reader([&] {  // the terminal's reader, so that no write ever waits
                char bytes[4096];
                for (pollfd ready{master, POLLIN, 0}; poll(&ready, 1, 20) == 1 || !ended;) {
                    const ssize_t got = ready.revents != 0 ? read(master, bytes, sizeof bytes) : 0;
                    if (got > 0) shown.append(bytes, static_cast<std::size_t>(got));
                    received = shown.size();
                    ready.revents = 0;
                }
            });
            std::fflush(stderr);
            const int saved = dup(STDERR_FILENO);
            dup2(slave, STDERR_FILENO);
            {
                ProgressLine line("packing", std::chrono::milliseconds(c.refresh));
                for (int waited = 0; c.shows && received == 0 && waited < 10000; ++waited) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            dup2(saved, STDERR_FILENO);
            close(saved);
            ended = true;
            reader.join();
            if (!c.shows) {
                EXPECT_EQ(shown, "");
                continue;
            }
            ASSERT_GT(shown.size(), 2u);
            ASSERT_EQ(shown.back(), '\r')
                << shown.substr(shown.size() > 80 ? shown.size() - 80 : 0);
            const std::size_t eraser = shown.rfind('\r', shown.size() - 2);
            std::size_t longest = 0;
            for (std::size_t at = 0; at < eraser; at = shown.find('\r', at + 1)) {
                longest = std::max(longest, std::min(shown.find('\r', at + 1), eraser) - at - 1);
            }
            EXPECT_EQ(shown.compare(0, 10, "\rpacking: "), 0) << shown.substr(0, 80);
            EXPECT_EQ(shown.substr(eraser + 1), std::string(longest, ' ') + '\r');
        }
    }
    close(slave);
    close(master);
}
#endif

}  // namespace
