// What the command line says of its commands' outcomes: the lines on standard error, a
// failure's words, the options a command takes from its arguments, and the run of a streaming
// command under its status line with its summary.
#include "cli/outcomes.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "report/progress_line.h"
#include "report/reason_words.h"
#include "report/shown.h"

using platform::Failure;

namespace {

platform::Reason gOutputFailure = 0;  // why a write of standard output failed, 0 while none did
std::uint64_t gRefused = 0;           // files named as ones that cannot be packed, not skipped

using ::Words;  // a reason's, beside a left-out item's

std::string Words(LeftOut why) {
    switch (why) {
        case LeftOut::kFolder:
            return "folder left out (pack -r takes sub-folders)";
        case LeftOut::kLinkToFolder:
            return "link to a folder left out (links to folders are not followed)";
        case LeftOut::kDanglingLink:
            return "dangling link left out";
        case LeftOut::kNotRegular:
            return "not a regular file, left out";
        case LeftOut::kPackFile:
            return "the pack file itself, left out";
        case LeftOut::kLinkNotKept:
            return "link left out (links are not kept on this system)";
    }
    return "left out";
}

// The one-line summary of a command that succeeded, on a terminal only.
class Summary {
  public:
    explicit Summary(const char* done) : done_(done), start_(std::chrono::steady_clock::now()) {}
    void Say(const StreamTotals& totals) const {
        if (!platform::IsTerminal(stderr)) return;
        constexpr double kMiB = 1024.0 * 1024.0;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double plain = static_cast<double>(totals.plainBytes);
        const double pack = static_cast<double>(totals.packBytes);
        char line[200];
        if (plain > 0.0) {
            // What the pack saves of the plain bytes: as `list` reckons it.
            std::snprintf(line, sizeof line,
                          "%s %llu entries, %.1f MiB in %.1f s, pack %.1f MiB (%.1f%% saved)",
                          done_, static_cast<unsigned long long>(totals.entries), plain / kMiB,
                          seconds, pack / kMiB, (plain - pack) * 100.0 / plain);
        } else {
            std::snprintf(line, sizeof line, "%s %llu entries in %.1f s, pack %.1f MiB", done_,
                          static_cast<unsigned long long>(totals.entries), seconds, pack / kMiB);
        }
        std::fprintf(stderr, "zorel: %s\n", line);
    }

  private:
    const char* done_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

void FlushOut() {
    platform::Reason why = 0;
    if (!platform::Flush(stdout, &why) && gOutputFailure == 0) gOutputFailure = why;
}

void Say(const std::string& text) {
    std::fputs(Shown(stderr, "zorel: " + text).c_str(), stderr);
    std::fputc('\n', stderr);
}

void SayStored(const std::string& path, const std::string& removed, const std::string& name) {
    Say(path + ": " + removed + " taken away, stored as " + name);
}

int Failed(const std::string& subject, const Failure& failure) {
    if (failure.told) {  // each file was named as it was met: their count, and the way on
        if (gRefused > 0) {
            Say(std::to_string(gRefused) + (gRefused == 1 ? " file" : " files") +
                " cannot be packed; --skip leaves such files out and packs the rest");
        }
        return kExitFailure;
    }
    std::string reason = Words(failure.reason);
    if (failure.reason == platform::kErrorBusy && failure.holder > 0) {
        reason += " (process " + std::to_string(failure.holder) + ")";
    }
    if (failure.entry != 0) {
        std::string entry = "entry " + std::to_string(failure.entry);
        if (!failure.item.empty()) entry += " (" + failure.item + ")";
        Say(subject + ": " + entry + ": " + reason);
    } else {
        Say((failure.item.empty() ? subject : failure.item) + ": " + reason);
    }
    return kExitFailure;
}

StreamOptions OptionsOf(const Arguments& args, StreamTotals* totals) {
    StreamOptions options;
    options.compress = args.compress || args.fast;
    options.engine = args.fast ? Compressor::kFast : Compressor::kZlib;
    options.recursive = args.recursive;
    options.describe = args.recursive && !args.plain;
    options.skip = args.skip;
    options.update = args.update;
    options.workers = args.jobs;
    options.excludes = &args.excludes;
    options.strip = args.strip;
    options.wait = args.wait;
    options.totals = totals;
    if (args.verbose) {
        options.done = [](const char* name) { Print(Shown(stdout, name) + '\n'); };
    }
    const bool skip = args.skip;
    options.refused = [skip](const std::string& file, platform::Reason why) {
        if (!skip) ++gRefused;
        Say(file + ": " + (skip ? "left out: " : "") + Words(why));
    };
    options.existing = args.keepOld     ? Existing::kKeep
                       : args.keepNewer ? Existing::kKeepNewer
                                        : Existing::kReplace;
    options.kept = [](const char* name) { Say(std::string(name) + ": kept, a file is there"); };
    options.unrestored = [](const std::string& path, platform::Reason why) {
        Say(path + ": " + Words(why));
    };
    options.leftOut = [](const std::string& item, LeftOut why) { Say(item + ": " + Words(why)); };
    // As tar says it, once.
    options.stripped = [](char separator) {
        Say(std::string("removing leading '") + separator + "' from entry names");
    };
    return options;
}

int Streamed(const char* doing, const char* done, const std::string& subject,
             const std::function<bool(StreamTotals*, Failure*)>& operation) {
    Summary summary(done);
    StreamTotals totals;
    Failure failure;
    bool ok = false;
    {
        ProgressLine progress(doing);
        ok = operation(&totals, &failure);
    }
    if (!ok) return Failed(subject, failure);
    FlushOut();
    summary.Say(totals);
    return kExitSuccess;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "zorel: %s (see zorel --help)\n", Shown(stderr, message).c_str());
    return kExitUsage;
}

void Print(const std::string& text) {
    platform::Reason why = 0;
    if (!platform::WriteText(stdout, text.c_str(), &why) && gOutputFailure == 0) {
        gOutputFailure = why;
    }
}

int Finished(int status) {
    platform::Reason why = gOutputFailure;
    if (why == 0 && !platform::Flush(stdout, &why)) gOutputFailure = why;
    if (why == 0 && std::ferror(stdout) != 0) why = platform::kErrorFailed;
    // A reader that stopped early (`| head`) took what it wanted: as ls and cat, nothing to say.
    if (why == 0 || platform::IsBrokenPipe(why)) return status;
    Say("standard output: " + Words(why));
    return kExitFailure;
}
