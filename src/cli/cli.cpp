// The commands pack, unpack, list, test, add and remove: arguments in, one operation, the exit
// status and one line on standard error for a failure.
#include "cli/cli.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fsbridge/streams.h"
#include "pack/records.h"
#include "report/listing.h"
#include "report/progress_line.h"

namespace {

constexpr const char* kVersion = "zorel 1.1.0\n";
constexpr const char* kUsage =
    "Usage: zorel                          the interactive menu\n"
    "       zorel COMMAND ARGUMENTS...\n"
    "\n"
    "Commands:\n"
    "  pack [-z|--compress] [--fast] PACKFILE FOLDER\n"
    "                                        every regular file directly in FOLDER into\n"
    "                                        PACKFILE, each compressed with -z\n"
    "  unpack PACKFILE FOLDER [NAME...]      every entry (or those named) into FOLDER\n"
    "  list PACKFILE                         the entries and their sizes\n"
    "  test PACKFILE                         read and check every entry\n"
    "  add [--fast] PACKFILE FILE...         add files (PACKFILE is made when missing)\n"
    "  remove PACKFILE NAME...               remove the entries of those names\n"
    "\n"
    "Options:\n"
    "  -h, --help     this text\n"
    "  --version      the program's version\n"
    "  --fast         compress with libdeflate: several times as fast, output about 1%\n"
    "                 smaller, ordinary zlib streams; without it, zlib's compress (the\n"
    "                 menu's bytes)\n"
    "\n"
    "Exit status: 0 done, 1 the command failed (the reason on standard error),\n"
    "2 the command line is wrong. Names hold at most 31 characters, files less than 4 GiB.\n";

// The arguments of one command: its flags taken out, the rest in order.
struct Arguments {
    std::string verb;
    bool compress = false;
    bool fast = false;
    std::vector<std::string> operands;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "zorel: %s (see zorel --help)\n", message.c_str());
    return kExitUsage;
}

// The words for a reason: the program's own for its codes, the system's for the rest.
std::string Words(platform::Reason code) {
    static const char* const kOwn[] = {"failed",
                                       "name longer than 31 characters",
                                       "not a pack file",
                                       "record is damaged or cut short",
                                       "compressed data is corrupt",
                                       "empty file (an entry holds 1 byte or more)",
                                       "file of 4 GiB or more",
                                       "not a regular file",
                                       "name climbs out of the folder",
                                       "no such entry",
                                       "failed",
                                       "the target is a folder",
                                       "the target is a FIFO",
                                       "the target is a device",
                                       "the target is a socket",
                                       "the name holds no file name",
                                       "a name Windows reserves for a device",
                                       "a name Windows would change"};
    if (code != 0 && (code & platform::kOwnError) == 0) return platform::ErrorText(code);
    const platform::Reason own = code & ~platform::kOwnError;
    return kOwn[own < sizeof kOwn / sizeof *kOwn ? own : 0];
}

// Words the failure of a command on `subject`.
int Failed(const std::string& subject, const StreamFailure& failure) {
    const std::string reason = Words(failure.reason);
    if (failure.entry != 0) {
        std::string entry = "entry " + std::to_string(failure.entry);
        if (!failure.item.empty()) entry += " (" + failure.item + ")";
        std::fprintf(stderr, "zorel: %s: %s: %s\n", subject.c_str(), entry.c_str(), reason.c_str());
    } else {
        const std::string& item = failure.item.empty() ? subject : failure.item;
        std::fprintf(stderr, "zorel: %s: %s\n", item.c_str(), reason.c_str());
    }
    return kExitFailure;
}

int Done(bool ok, const std::string& subject, const StreamFailure& failure) {
    return ok ? kExitSuccess : Failed(subject, failure);
}

int List(const std::string& path) {
    PackReader reader;
    StreamFailure failure;
    if (!reader.Open(path.c_str(), &failure.reason)) return Failed(path, failure);
    ContentsListing listing(stdout, reader.header().flag != 0);
    PackEntry head;
    while (reader.NextHead(&head, &failure.reason) && reader.SkipData(head, &failure.reason)) {
        listing.Entry(head);
    }
    if (reader.damaged()) {
        std::fflush(stdout);
        failure.entry = reader.read() + 1;
        return Failed(path, failure);
    }
    listing.Finish(reader.header().count);
    return platform::Flush(stdout, &failure.reason) ? kExitSuccess
                                                    : Failed("standard output", failure);
}

int Run(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    const std::size_t n = in.size();
    StreamFailure failure;
    if (args.compress && args.verb != "pack") {
        return UsageError("-z is an option of pack only");
    }
    if (args.fast && args.verb != "pack" && args.verb != "add") {
        return UsageError("--fast is an option of pack and add only");
    }
    const Compressor engine = args.fast ? Compressor::kFast : Compressor::kZlib;
    if (args.verb == "pack") {
        if (n != 2) return UsageError("pack takes PACKFILE FOLDER");
        ProgressLine progress("packing");
        return Done(StreamPackFolder(in[0].c_str(), in[1].c_str(), args.compress, engine, &failure),
                    in[0], failure);
    }
    if (args.verb == "unpack") {
        if (n < 2) return UsageError("unpack takes PACKFILE FOLDER [NAME...]");
        ProgressLine progress("unpacking");
        const std::vector<std::string> names(in.begin() + 2, in.end());
        return Done(StreamUnpack(in[0].c_str(), in[1].c_str(), names, &failure), in[0], failure);
    }
    if (args.verb == "list") {
        if (n != 1) return UsageError("list takes PACKFILE");
        return List(in[0]);
    }
    if (args.verb == "test") {
        if (n != 1) return UsageError("test takes PACKFILE");
        ProgressLine progress("testing");
        return Done(StreamTest(in[0].c_str(), &failure), in[0], failure);
    }
    if (args.verb == "add" || args.verb == "remove") {
        if (n < 2) return UsageError(args.verb + " takes PACKFILE and at least one name");
        const std::vector<std::string> rest(in.begin() + 1, in.end());
        const bool ok = args.verb == "add" ? StreamAdd(in[0].c_str(), rest, engine, &failure)
                                           : StreamRemove(in[0].c_str(), rest, &failure);
        return Done(ok, in[0], failure);
    }
    return UsageError("unknown command '" + args.verb + "'");
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    Arguments args;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (options && word == "--") {
            options = false;
        } else if (options && (word == "-h" || word == "--help")) {
            std::fputs(kUsage, stdout);
            return kExitSuccess;
        } else if (options && word == "--version") {
            std::fputs(kVersion, stdout);
            return kExitSuccess;
        } else if (options && (word == "-z" || word == "--compress")) {
            args.compress = true;
        } else if (options && word == "--fast") {
            args.fast = true;
        } else if (options && word.size() > 1 && word[0] == '-') {
            return UsageError("unknown option '" + word + "'");
        } else if (args.verb.empty()) {
            args.verb = word;
        } else {
            args.operands.push_back(word);
        }
    }
    if (args.verb.empty()) return UsageError("no command given");
    return Run(args);
}
