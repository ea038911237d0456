// Names made safe for a terminal: the one rule, checked on every kind of character, at a
// terminal and elsewhere, in both of its forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "report/listing.h"
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

}  // namespace
