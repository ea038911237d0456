// The command line's parser (CLI11): the verbs as subcommands, their options, their help.
#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace {

constexpr const char* kVersion = "zorel 1.2.0\n";
constexpr const char* kUsage =
    "Usage: zorel                          the interactive menu\n"
    "       zorel COMMAND [OPTIONS] ARGUMENTS...\n"
    "\n"
    "Commands:\n"
    "  pack [-rzv] [--fast] [--skip] PACKFILE FOLDER\n"
    "                                        every regular file in FOLDER (and its\n"
    "                                        sub-folders with -r) into PACKFILE\n"
    "  unpack [-v] PACKFILE FOLDER [NAME...] every entry (or those named) into FOLDER\n"
    "  list [-1] PACKFILE [NAME...]          the entries and their sizes (-1: names alone)\n"
    "  test PACKFILE                         read and check every entry\n"
    "  add [-zv] [--fast] [--skip] PACKFILE FILE...\n"
    "                                        add files (PACKFILE is made when missing)\n"
    "  remove [-v] PACKFILE NAME...          remove the entries of those names\n"
    "\n"
    "Options:\n"
    "  -h, --help     this text; after a command, that command's\n"
    "  --version      the program's version\n"
    "\n"
    "NAME may hold shell wildcards (* ? [a-c]), quoted so that the shell leaves them.\n"
    "Exit status: 0 done, 1 the command failed (the reason on standard error),\n"
    "2 the command line is wrong. Names hold at most 31 bytes, files less than 4 GiB.\n"
    "zorel COMMAND --help tells more of each command.\n";

// One verb: its synopsis, what it does, the options it takes.
struct Verb {
    const char* name;
    const char* synopsis;
    const char* text;
    const char* options;  // the names of its options, as in kOptions
};

constexpr Verb kVerbs[] = {
    {"pack", "pack [OPTIONS] PACKFILE FOLDER",
     "Packs every regular file of FOLDER into PACKFILE, in one fixed order on every system.\n"
     "Without -r, sub-folders are left out, each named on standard error. Every file is\n"
     "checked first: those that cannot be packed are named together, and the command fails\n"
     "leaving any earlier PACKFILE, unless --skip leaves them out. PACKFILE - writes the\n"
     "pack to standard output.\n",
     "z fast r skip v j wait"},
    {"unpack", "unpack [OPTIONS] PACKFILE FOLDER [NAME...]",
     "Writes every entry, or those whose names match a NAME (shell wildcards * ? [a-c]),\n"
     "as a file in FOLDER, made when missing. A NAME that matches no entry fails the\n"
     "command. PACKFILE - reads the pack from standard input.\n",
     "v j"},
    {"list", "list [OPTIONS] PACKFILE [NAME...]",
     "Lists the entries (or those whose names match a NAME) with their sizes and ratios, as\n"
     "menu key 7 does; with -1 their names alone, one a line.\n",
     "1"},
    {"test", "test [OPTIONS] PACKFILE",
     "Reads every entry and decompresses each compressed one, checking its size; names the\n"
     "first bad entry.\n",
     "j"},
    {"add", "add [OPTIONS] PACKFILE FILE...",
     "Appends the files to PACKFILE, made when missing (compressed with -z or --fast). An\n"
     "entry is named by its path as given, without a leading '/' or drive and '..' parts.\n"
     "On an existing pack the pack's own form decides; -z on a plain one is refused.\n",
     "z fast skip v j wait"},
    {"remove", "remove [OPTIONS] PACKFILE NAME...",
     "Removes the first entry of each name; a name that no entry has fails the command and\n"
     "leaves the pack as it was.\n",
     "v j wait"},
};

// The options, by the short name the verbs list them under.
struct Option {
    const char* key;
    const char* names;  // as CLI11 takes them
    const char* shown;  // as the help shows them
    const char* text;
};

constexpr Option kOptions[] = {
    {"z", "-z,--compress", "-z, --compress", "compress every entry (zlib, the menu's bytes)"},
    {"fast", "--fast", "--fast",
     "compress with libdeflate: several times as fast, ordinary\n"
     "                    zlib streams, other bytes; implies -z"},
    {"r", "-r,--recursive", "-r, --recursive",
     "the files of every sub-folder too, named by\n"
     "                    their path with '/'; links to "
     "folders are not followed"},
    {"skip", "--skip", "--skip", "leave out (and name) the files that cannot be packed"},
    {"v", "-v,--verbose", "-v, --verbose", "name each entry on standard output as it is done"},
    {"j", "-j,--jobs", "-j, --jobs=N", "threads to work on (default: one per core)"},
    {"1", "-1,--names", "-1, --names", "the names alone, one a line, as tar -t prints them"},
    {"wait", "--wait", "--wait=SECONDS",
     "wait this long for another zorel changing PACKFILE\n"
     "                    (default 10), then fail"},
};

bool Takes(const Verb& verb, const char* key) {
    const std::string keys = std::string(" ") + verb.options + " ";
    return keys.find(std::string(" ") + key + " ") != std::string::npos;
}

std::string HelpOf(const Verb& verb) {
    std::string help = std::string("Usage: zorel ") + verb.synopsis + "\n\n" + verb.text;
    help += "\nOptions:\n";
    for (const Option& option : kOptions) {
        if (!Takes(verb, option.key)) continue;
        std::string shown = std::string("  ") + option.shown;
        shown.resize(20, ' ');
        help += shown + option.text + "\n";
    }
    return help + "  -h, --help        this text\n";
}

// The option an unknown word would be, for a verb that does not take it: which verbs do.
std::string Misplaced(const std::string& word) {
    const std::string name = word.substr(0, word.find('='));
    for (const Option& option : kOptions) {
        const std::string names = std::string(",") + option.names + ",";
        if (names.find("," + name + ",") == std::string::npos) continue;
        std::string verbs;
        std::vector<const char*> takers;
        for (const Verb& verb : kVerbs) {
            if (Takes(verb, option.key)) takers.push_back(verb.name);
        }
        for (std::size_t i = 0; i < takers.size(); ++i) {
            verbs += (i == 0                   ? ""
                      : i + 1 == takers.size() ? " and "
                                               : ", ") +
                     std::string(takers[i]);
        }
        return name + " is an option of " + verbs + " only";
    }
    return "unknown option '" + word + "'";
}

const Verb* VerbNamed(const std::string& name) {
    for (const Verb& verb : kVerbs) {
        if (name == verb.name) return &verb;
    }
    return nullptr;
}

int Say(const std::string& text) {
    Print(text);
    return Finished(kExitSuccess);
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    // The verb is the first word that is no option; options before it are its own (as
    // `zorel -z pack ...` always took them), but for the program's own.
    std::vector<std::string> words(argv + 1, argv + argc);
    std::size_t at = 0;
    for (; at < words.size() && words[at].size() > 1 && words[at][0] == '-'; ++at) {
        if (words[at] == "--") break;
        if (words[at] == "-h" || words[at] == "--help") return Say(kUsage);
        if (words[at] == "--version") return Say(kVersion);
    }
    if (at < words.size() && words[at] == "--") words.erase(words.begin() + at);
    if (at == words.size()) {
        return UsageError(at == 0 ? "no command given" : "unknown option '" + words[0] + "'");
    }
    const Verb* verb = VerbNamed(words[at]);
    if (verb == nullptr) return UsageError("unknown command '" + words[at] + "'");
    words.erase(words.begin() + at);
    words.insert(words.begin(), verb->name);

    Arguments args;
    args.verb = verb->name;
    bool help = false;
    CLI::App app("zorel");
    app.set_help_flag();
    for (const Verb& each : kVerbs) {
        CLI::App* command = app.add_subcommand(each.name, each.text);
        command->set_help_flag();
        command->allow_extras();  // unknown options are worded below, as this program words them
        command->add_flag("-h,--help", help);
        const std::pair<const char*, bool*> flags[] = {{"z", &args.compress},  {"fast", &args.fast},
                                                       {"r", &args.recursive}, {"skip", &args.skip},
                                                       {"v", &args.verbose},   {"1", &args.names}};
        for (const Option& option : kOptions) {
            if (!Takes(each, option.key)) continue;
            for (const auto& [key, flag] : flags) {
                if (std::string(key) == option.key) command->add_flag(option.names, *flag);
            }
            if (std::string(option.key) == "j") command->add_option(option.names, args.jobs);
            if (std::string(option.key) == "wait") {
                command->add_option(option.names, args.wait);
            }
        }
        command->add_option("operands", args.operands);
    }
    std::vector<std::string> reversed(words.rbegin(), words.rend());  // as CLI11 takes them
    try {
        app.parse(reversed);
    } catch (const CLI::ConversionError& error) {
        const bool wait = std::string(error.what()).find("wait") != std::string::npos;
        return UsageError(wait ? "--wait takes a number of seconds"
                               : "-j takes a number of threads");
    } catch (const CLI::ParseError& error) {
        return UsageError(error.what());
    }
    if (help) return Say(HelpOf(*verb));
    if (!(args.wait >= 0)) return UsageError("--wait takes a number of seconds");
    for (const std::string& extra : app.get_subcommand(verb->name)->remaining()) {
        if (extra != "--") return UsageError(Misplaced(extra));
    }
    return Finished(RunCommand(args));
}
