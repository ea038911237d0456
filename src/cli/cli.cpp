// The command line's parser: CLI11 built from the verb table (commands.h) and the options below,
// the usage and each verb's help written from the same rows, the chosen verb's handler run.
#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"

namespace {

constexpr const char* kVersion = "zorel 1.2.0\n";
constexpr const char* kUsageHead =
    "Usage: zorel                          the interactive menu\n"
    "       zorel COMMAND [OPTIONS] ARGUMENTS...\n"
    "\n"
    "Commands:\n";
constexpr const char* kUsageTail =
    "\n"
    "Options:\n"
    "  -h, --help     this text; after a command, that command's\n"
    "  --version      the program's version\n"
    "\n"
    "NAME may hold shell wildcards (* ? [a-c]), quoted so that the shell leaves them.\n"
    "pack, add, unpack, list and test take --exclude=PATTERN; unpack --keep-newer-files\n"
    "and --strip-components=N too.\n"
    "Exit status: 0 done, 1 the command failed (the reason on standard error),\n"
    "2 the command line is wrong. Names hold at most 31 bytes, files less than 4 GiB.\n"
    "zorel COMMAND --help tells more of each command.\n";
constexpr std::size_t kUsageColumn = 40;  // where the top-level usage's words of a verb begin

// An option, by the key the verbs list it under, and the field of Arguments it sets.
struct Option {
    const char* key;
    const char* names;  // as CLI11 takes them
    const char* shown;  // as the help shows them
    const char* text;
    bool Arguments::*flag;
    unsigned Arguments::*number;           // for an option with a value, instead of a flag
    double Arguments::*seconds = nullptr;  // for an option of a time
    std::vector<std::string> Arguments::*texts = nullptr;  // for one given again and again
    std::string Arguments::*word = nullptr;                // for an option of a word
};

constexpr Option kOptions[] = {
    {"z", "-z,--compress", "-z, --compress", "compress every entry (zlib, the menu's bytes)",
     &Arguments::compress, nullptr},
    {"fast", "--fast", "--fast",
     "compress with libdeflate: several times as fast, ordinary\n"
     "                    zlib streams, other bytes; implies -z",
     &Arguments::fast, nullptr},
    {"r", "-r,--recursive", "-r, --recursive",
     "the files of every sub-folder too, named by\n"
     "                    their path with '/'; links to "
     "folders are not followed",
     &Arguments::recursive, nullptr},
    {"plain", "--plain", "--plain",
     "pack -r and add: no descriptions (paths of at most\n"
     "                    31 bytes, no modes, times or checksums kept)",
     &Arguments::plain, nullptr},
    {"skip", "--skip", "--skip", "leave out (and name) the files that cannot be packed",
     &Arguments::skip, nullptr},
    {"u", "-u,--update", "-u, --update",
     "replace an entry only when its file changed (size, time\n"
     "                    or bytes); add the files the pack lacks",
     &Arguments::update, nullptr},
    {"v", "-v,--verbose", "-v, --verbose", "name each entry on standard output as it is done",
     &Arguments::verbose, nullptr},
    {"j", "-j,--jobs", "-j, --jobs=N", "threads to work on (default: one per core)", nullptr,
     &Arguments::jobs},
    {"1", "-1,--names", "-1, --names", "the names alone, one a line, as tar -t prints them",
     &Arguments::names, nullptr},
    {"0", "-0,--null", "-0, --null", "the names alone, each ended by a NUL (for xargs -0)",
     &Arguments::null, nullptr},
    {"l", "-l,--long", "-l, --long",
     "one line per item as tar -tv: mode, size, local\n"
     "                    date and time, path, link target",
     &Arguments::longForm, nullptr},
    {"O", "-O,--to-stdout", "-O, --to-stdout",
     "the entries' bytes to standard output, one after\n"
     "                    the other; every operand after PACKFILE is a NAME",
     &Arguments::toOutput, nullptr},
    {"k", "-k,--keep-old-files", "-k, --keep-old-files",
     "never replace an existing file; name each one kept\n"
     "                    on standard error",
     &Arguments::keepOld, nullptr},
    {"keep-newer", "--keep-newer-files", "--keep-newer-files",
     "replace only files older than their entry (a pack\n"
     "                    that keeps no times: none)",
     &Arguments::keepNewer, nullptr},
    {"exclude", "--exclude", "--exclude=PATTERN",
     "leave out names matching PATTERN whole or after a\n"
     "                    '/' (a folder and all below it); repeatable",
     nullptr, nullptr, nullptr, &Arguments::excludes},
    {"strip", "--strip-components", "--strip-components=N",
     "take the first N folders from each name; an entry\n"
     "                    with no more is left out",
     nullptr, &Arguments::strip},
    {"wait", "--wait", "--wait=SECONDS",
     "wait this long for another zorel changing PACKFILE\n"
     "                    (default 10), then fail",
     nullptr, nullptr, &Arguments::wait},
    {"format", "--format", "--format=NAME",
     "OUT's form: pack, tar, tar.gz (tgz), tar.xz, tar.zst,\n"
     "                    tar.bz2, zip, 7z or cpio (default: by OUT's name)",
     nullptr, nullptr, nullptr, nullptr, &Arguments::format},
};

bool Takes(const Verb& verb, const char* key) {
    const std::string keys = std::string(" ") + verb.options + " ";
    return keys.find(std::string(" ") + key + " ") != std::string::npos;
}

// The top-level usage: each verb with its options and operands, then its words from column 40.
std::string Usage() {
    std::string usage = kUsageHead;
    for (const Verb& verb : Verbs()) {
        std::string line = std::string("  ") + verb.name + " " + verb.flags;
        if (*verb.flags != '\0') line += " ";
        line += verb.operands;
        line += line.size() < kUsageColumn ? std::string(kUsageColumn - line.size(), ' ')
                                           : "\n" + std::string(kUsageColumn, ' ');
        for (const char* c = verb.brief; *c != '\0'; ++c) {
            line += *c;
            if (*c == '\n') line += std::string(kUsageColumn, ' ');
        }
        usage += line + "\n";
    }
    return usage + kUsageTail;
}

std::string HelpOf(const Verb& verb) {
    std::string help = std::string("Usage: zorel ") + verb.name + " [OPTIONS] " + verb.operands +
                       "\n\n" + verb.text + "\nOptions:\n";
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
        std::vector<const char*> takers;
        for (const Verb& verb : Verbs()) {
            if (Takes(verb, option.key)) takers.push_back(verb.name);
        }
        std::string verbs;
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

// What is wrong with a command line that names no verb: the first word that is no option is
// not one, or there are options alone.
std::string NoVerb(const std::vector<std::string>& unknown, int argc, char** argv) {
    for (const std::string& word : unknown) {
        if (word.size() < 2 || word[0] != '-') return "unknown command '" + word + "'";
    }
    const std::string first = argv[1];
    return argc < 2 || first == "--" ? "no command given" : "unknown option '" + first + "'";
}

CLI::Option* Bind(CLI::App* app, const std::string& names, const Option& option, Arguments* args) {
    if (option.flag != nullptr) return app->add_flag(names, args->*option.flag);
    if (option.seconds != nullptr) return app->add_option(names, args->*option.seconds);
    if (option.texts != nullptr) {
        return app->add_option(names, args->*option.texts)->allow_extra_args(false);
    }
    if (option.word != nullptr) return app->add_option(names, args->*option.word);
    return app->add_option(names, args->*option.number);
}

int Printed(const std::string& text) {
    Print(text);
    return Finished(kExitSuccess);
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    Arguments args;
    bool usage = false, version = false, help = false;
    std::string unfilled;
    CLI::App app("zorel");
    app.set_help_flag();
    app.allow_extras();  // unknown words are worded below, as this program words them
    app.allow_windows_style_options(false);  // "/dir/file" is a path on every system
    app.add_flag("-h,--help", usage);
    app.add_flag("--version", version);
    // Options may come before the verb too (`zorel -z pack ...`), each name on its own so that
    // one the verb does not take is named as it was given.
    struct Early {
        std::string name;
        const Option* option;
        CLI::Option* parsed;
    };
    std::vector<Early> early;
    for (const Option& option : kOptions) {
        const std::string names = option.names;
        for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + 1) {
            end = names.find(',', at);
            const std::string name = names.substr(at, end == std::string::npos ? end : end - at);
            early.push_back({name, &option, Bind(&app, name, option, &args)});
        }
    }
    std::vector<std::pair<CLI::App*, const Verb*>> commands;
    for (const Verb& verb : Verbs()) {
        CLI::App* command = app.add_subcommand(verb.name, verb.text);
        command->set_help_flag();
        command->allow_extras();
        command->add_flag("-h,--help", help);
        for (const Option& option : kOptions) {
            if (Takes(verb, option.key)) Bind(command, option.names, option, &args);
        }
        command->add_option("operands", args.operands);
        // A positional never filled: with one left open, CLI11 keeps the words behind a "--" after
        // the operands this verb's operands, instead of handing them back to the top level.
        command->add_option("unfilled", unfilled);
        commands.emplace_back(command, &verb);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ConversionError& error) {
        const std::string what = error.what();
        if (what.find("strip") != std::string::npos) {
            return UsageError("--strip-components takes a number of folders");
        }
        const bool wait = what.find("wait") != std::string::npos;
        return UsageError(wait ? "--wait takes a number of seconds"
                               : "-j takes a number of threads");
    } catch (const CLI::ParseError& error) {
        return UsageError(error.what());
    }
    if (usage) return Printed(Usage());
    if (version) return Printed(kVersion);
    const Verb* verb = nullptr;
    CLI::App* command = nullptr;
    for (const auto& [each, row] : commands) {
        if (each->parsed()) command = each, verb = row;
    }
    if (verb == nullptr) return UsageError(NoVerb(app.remaining(), argc, argv));
    if (help) return Printed(HelpOf(*verb));
    if (!(args.wait >= 0)) return UsageError("--wait takes a number of seconds");
    std::vector<std::string> unknown = app.remaining();
    for (const Early& each : early) {
        if (each.parsed->count() != 0 && !Takes(*verb, each.option->key)) {
            unknown.push_back(each.name);
        }
    }
    for (const std::string& extra : command->remaining()) unknown.push_back(extra);
    for (const std::string& extra : unknown) {
        if (extra != "--") return UsageError(Misplaced(extra));
    }
    const std::size_t n = args.operands.size();
    if (n < verb->least || n > verb->most) {
        return UsageError(std::string(verb->name) + " takes " +
                          (verb->takes != nullptr ? verb->takes : verb->operands));
    }
    args.verb = verb->name;
    return Finished(verb->run(args));
}
