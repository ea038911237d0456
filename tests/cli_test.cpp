// The command line's words: the usage, each verb's help, options before and after the verb and
// the errors of a wrong command line; what every command's output shares (names at a terminal,
// a failed write of standard output, the progress line) and the bash completion.
#include <gtest/gtest.h>

#include <utility>

#include "cli_support.h"
#include "pack/pack_format.h"

namespace {

// Help, usage errors and options wherever they stand, with the files each leaves.
TEST_F(CommandLine, OptionsTable) {
    Check({
        {{"--version"}, 0, "", {}},
        {{"--help"}, 0, "", {}, "Usage: zorel ", false, "", "\n  test [-j N] PACKFILE "},
        {{"unpack"}, 2, "zorel: unpack takes PACKFILE [FOLDER [NAME...]]" + kTry, {}},
        {{"unpack", "--", "-x.pak", "-o"},
         0,
         "",
         {{"-o/a.txt", "abc"}, {"-o/notes.txt", "hello notes"}}},
        {{"frob"}, 2, "zorel: unknown command 'frob'" + kTry, {}},
        {{"pack", "x.pak"}, 2, "zorel: pack takes PACKFILE FOLDER" + kTry, {{"x.pak", kAbsent}}},
        {{"list", "-q", "p.pak"}, 2, "zorel: unknown option '-q'" + kTry, {}},
        {{"unpack", "-z", "p.pak", "o"},
         2,
         "zorel: -z is an option of pack, add and convert only" + kTry,
         {}},
        {{"pack", "--help"}, 0, "", {}, "Usage: zorel pack [OPTIONS] PACKFILE FOLDER\n"},
        {{"list", "-h"}, 0, "", {}, "Usage: zorel list [OPTIONS] PACKFILE [NAME...]\n"},
        {{"pack", "--jobs=x", "x.pak", "f"},
         2,
         "zorel: -j takes a number of threads" + kTry,
         {{"x.pak", kAbsent}}},
        {{"list", "--fast", "p.pak"},
         2,
         "zorel: --fast is an option of pack, add and convert only" + kTry,
         {}},
        // "--" ends the options wherever it stands; a word that begins with '/' is a path.
        {{"list", "-1", "z.pak", "--", "-1"}, 1, "zorel: z.pak: -1: no such entry\n", {}},
        {{"remove", "p.pak", "a.txt", "--", "-v"},
         1,
         "zorel: p.pak: -v: no such entry\n",
         {{"p.pak", plain}}},
        {{"list", "/no-such.pak"}, 1, "zorel: /no-such.pak: " + kNoFile + "\n", {}},
        // Options before the verb are the verb's, values and all; one it does not take is named.
        {{"-z", "pack", "x.pak", "f"},
         0,
         "",
         {{"pack:x.pak", "a.txt=abc|notes.txt=hello notes"}, {"flag:x.pak", "1"}}},
        {{"-j", "1", "-v", "unpack", "z.pak", "o"},
         0,
         "",
         {{"o/a.txt", "abc"}},
         "a.txt\nnotes.txt\n",
         true},
        {{"-z", "unpack", "p.pak", "o"},
         2,
         "zorel: -z is an option of pack, add and convert only" + kTry,
         {{"o/a.txt", kAbsent}}},
    });
}

#ifndef _WIN32
// Names read from a pack reach a terminal with each control character as '?', on standard output
// as on standard error, and a pipe byte for byte.
TEST_F(CommandLine, NamesReachATerminalWithoutControlCharacters) {
    const std::string red = "\x1b[31mred", evil = "\x1b]0;PWNED\x07\x1b[31m/../x";
    SavedPack(dir.path(), "esc.pak", {{red, "fine"}, {evil, "bad"}}, false);
    const struct {
        std::vector<std::string> args;
        std::string shown;  // what the terminal receives of it
        std::string piped;  // what a pipe receives of it
    } runs[] = {
        {{"unpack", "-v", "esc.pak", "o"}, "?[31mred\n", red + "\n"},
        {{"unpack", "esc.pak", "o"},
         "zorel: esc.pak: entry 2 (?]0;PWNED??[31m/../x): name climbs out of the folder\n",
         "zorel: esc.pak: entry 2 (" + evil + "): name climbs out of the folder\n"},
        {{"list", "-1", "esc.pak"}, "?[31mred\n?]0;PWNED??[31m/../x\n", red + "\n" + evil + "\n"},
        {{"list", "esc.pak"}, "  1: ?[31mred ", "  1: " + red + " "},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args[0] + " " + run.args[1]);
        std::string shown = run.shown;
        for (std::size_t at = 0; (at = shown.find('\n', at)) != std::string::npos; at += 2) {
            shown.insert(at, 1, '\r');  // line ends as the terminal shows them
        }
        const std::string terminal = AtATerminal(dir.path(), run.args, "", true);
        EXPECT_NE(terminal.find(shown), std::string::npos) << terminal;
        EXPECT_EQ(terminal.find_first_of("\x1b\x07"), std::string::npos) << terminal;
        const std::string piped = AtATerminal(dir.path(), run.args, "", false);
        EXPECT_NE(piped.find(run.piped), std::string::npos) << piped;
        fs::remove_all(dir.path() / "o");
    }
}

// Output that cannot be written fails the command that prints it.
TEST_F(CommandLine, AFailedWriteOfStandardOutputFails) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string zorel = ProgramWrapper() + " " + ZOREL_BINARY;
    for (const char* args : {"--help", "--version", "pack --help", "list z.pak", "list -1 z.pak",
                             "unpack -v z.pak o", "unpack -O z.pak"}) {
        SCOPED_TRACE(args);
        const auto [status, err] = Shell(dir.path(), zorel + " " + args + " >/dev/full");
        EXPECT_EQ(status, 1);
        EXPECT_EQ(err, "zorel: standard output: " + platform::ErrorText(ENOSPC) + "\n");
    }
}

// Text into a pipe whose reader stops early (| head) ends quietly, as ls and cat end; a pack cut
// short there keeps its reason (Pipes).
TEST_F(CommandLine, TextIntoAPipeThatClosesEarlyEndsQuietly) {
    std::string many = PackHeader(4000);  // far more names than a pipe holds
    many[pack_format::kFlagOffset] = 0;
    for (std::uint32_t i = 0; i < 4000; ++i)
        many += RecordHead(Numbered("a-name-of-thirty-", i), 1, 1) + "x";
    WriteFile(dir / "many.pak", many);
    SavedPack(dir.path(), "big.pak", {{"big", std::string(4 << 20, 'b')}}, false);
    const std::string zorel = ProgramWrapper() + " " + ZOREL_BINARY;
    for (const char* args :
         {"list -1 many.pak", "list many.pak", "unpack -v many.pak o", "unpack -O big.pak"}) {
        SCOPED_TRACE(args);
        const auto [status, err] = Shell(
            dir.path(), "{ " + zorel + " " + args + "; echo $? >status; } | head -c 1 >/dev/null");
        EXPECT_EQ(err, "");
        const std::string ended = ReadFile(dir / "status");
        EXPECT_TRUE(ended == "0\n" || ended == "141\n") << ended;
    }
    EXPECT_EQ(ReadFile(dir / "o/a-name-of-thirty-3999"), "x");  // the unpack went on to the end
}

// The bash completion offers the verbs, a verb's options, folders and the pack's entry names,
// each quoted as the shell reads it back.
TEST_F(CommandLine, BashCompletionOffersVerbsOptionsAndEntries) {
    if (Shell(dir.path(), "command -v bash >/dev/null").first != 0) GTEST_SKIP() << "no bash";
    const std::string bin = fs::path(ZOREL_BINARY).parent_path().string();
    auto offered = [&](const std::string& words) {
        const std::string got = (dir.path() / "offered").string();
        WriteFile(dir / "complete.sh", "source '" ZOREL_SOURCE "/completion/zorel.bash'\nPATH='" +
                                           bin + "':$PATH\nCOMP_WORDS=(" + words +
                                           ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_zorel\n"
                                           "printf '%s\\n' \"${COMPREPLY[@]}\" >'" +
                                           got + "'\n");
        EXPECT_EQ(Shell(dir.path(), "bash complete.sh").first, 0) << words;
        return ReadFile(got);
    };
    EXPECT_EQ(offered("zorel ''"),
              "pack\nunpack\nlist\ntest\nadd\nremove\nrename\ndiff\nconvert\n--help\n--version\n");
    EXPECT_EQ(offered("zorel unpack --keep-"), "--keep-old-files\n--keep-newer-files\n");
    EXPECT_EQ(offered("zorel rename z.pak n"), "notes.txt\n");
    EXPECT_EQ(offered("zorel pack --re"), "--recursive\n");
    EXPECT_EQ(offered("zorel pack -r x.pak tr"), "tree\n");
    EXPECT_EQ(offered("zorel unpack -j 2 z.pak o n"), "notes.txt\n");
    SavedPack(dir.path(), "odd.pak", {{"with space", "x"}, {"with\nline", "y"}, {"w$", "z"}},
              false);
    EXPECT_EQ(offered("zorel list odd.pak w"), "with\\ space\n$'with\\nline'\nw\\$\n");
}

TEST_F(CommandLine, ProgressOnlyOnATerminal) {
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper writes on standard error";
    fs::create_directory(dir.path() / "slow");
    std::string text;
    for (int i = 0; text.size() < 4 * kMiB; ++i) text += std::to_string(i * 2654435761u) + "\n";
    for (const char* name : {"slow/1", "slow/2"}) WriteFile(dir / name, text);
    const std::vector<std::string> pack{"pack", "-z", "s.pak", "slow"};
    const std::string menu = "3\nslow\n\n8\n\n0\n\n";
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        bool commandLine = true;  // the first run; the menu's second
        for (std::string seen : {AtATerminal(dir.path(), pack, "", terminal, true),
                                 AtATerminal(dir.path(), {}, menu, terminal, true)}) {
            const bool summed = std::exchange(commandLine, false);
            if (!terminal) {
                EXPECT_EQ(seen, "");
                continue;
            }
            // The command line's ends with its summary, once the line is erased.
            const std::size_t at = seen.rfind("zorel: packed 2 entries, 8.0 MiB in ");
            EXPECT_EQ(at != std::string::npos, summed) << seen;
            if (at != std::string::npos) {
                EXPECT_EQ(seen.substr(seen.size() - 2), "\r\n");  // the terminal's line end
                EXPECT_NE(seen.find("% saved)", at), std::string::npos) << seen;
                EXPECT_NE(seen.find("%, "), std::string::npos) << seen;  // the share done
                seen.erase(at);
            }
            // Shown, then erased: the last thing on the terminal is a blank line start.
            EXPECT_NE(seen.find(" files, "), std::string::npos) << seen;
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), '\r');
            EXPECT_EQ(seen.find_first_not_of(' ', seen.rfind('\r', seen.size() - 2) + 1),
                      seen.size() - 1);
        }
    }
}
#endif

}  // namespace
