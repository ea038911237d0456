// The steps the command line's operations on pack files share: the writer's lock, what a
// listing tells, the totals, and files packed into a writer.
#include "fsbridge/stream_steps.h"

#include <cstring>

#include "fsbridge/sources.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Failure;
using platform::Reason;

std::string InFolder(const char* folder, const std::string& name) {
    if (folder == nullptr) return name;
    return name.empty() ? std::string(folder) : folder + (platform::kPathSeparator + name);
}

// Takes the lock of the pack a writer reads and replaces, or tells why it could not be had.
bool TakeLock(platform::PackLock* lock, const char* path, const StreamOptions& options,
              Failure* failure) {
    Reason why = 0;
    return lock->Take(path, options.wait, &why, &failure->holder) || Fail(failure, why, path);
}

// The length of a pack file, for the progress; 0 for standard input, whose is not known.
std::uint64_t LengthOf(const char* path) {
    std::uint64_t length = 0;
    if (std::strcmp(path, kStandardStream) != 0) platform::RegularFileLength(path, &length);
    return length;
}

// Tells the front end what a listing left out and could not take; false when files were
// refused and are not to be skipped, which fails the operation.
bool TellListing(const char* folder, const FolderListing& listing, const StreamOptions& options,
                 Failure* failure) {
    for (const LeftOutItem& item : listing.leftOut) {
        if (options.leftOut) options.leftOut(InFolder(folder, item.name), item.why);
    }
    for (const FolderFile& file : listing.refused) {
        if (options.refused) {
            options.refused(
                folder == nullptr ? std::string(file.Path()) : InFolder(folder, file.name),
                file.why);
        }
    }
    if (listing.refused.empty() || options.skip) return true;
    failure->told = true;
    return Fail(failure, listing.refused.front().why, "");
}

void Count(const StreamOptions& options, std::uint64_t entries, std::uint64_t plain,
           std::uint64_t packBytes) {
    if (options.totals == nullptr) return;
    *options.totals = {entries, plain, packBytes};
}

bool PackRun(const std::vector<FolderFile>& files, const StreamOptions& options,
             std::uint64_t budget, PackWriter* writer, Failure* window) {
    FileSource source(files, options.compress, options.engine, budget, EntrySink(writer),
                      options.done);
    return RunWindow(source, budget, options.workers, &SharedProgress(), window);
}
