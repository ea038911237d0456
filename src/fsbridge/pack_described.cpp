// Items packed behind their descriptions: every run through one window, each run described
// while the run before it packs.
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fsbridge/describing.h"
#include "fsbridge/sources.h"
#include "fsbridge/stream_steps.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Reason;

namespace {

// The files of every run, numbered on from one run to the next, each run offered once its
// description is made (its small files kept as read): that is when the run before it has all
// been taken, so the description is made while those files are worked on. Each description
// goes to the writer just before the first entry that follows it.
class DescribedSource final : public JobSource {
  public:
    DescribedSource(const std::vector<FolderFile>& items, const StreamOptions& options,
                    std::uint64_t budget, PackWriter* writer, std::uint32_t firstIndex)
        : items_(items),
          options_(options),
          budget_(budget),
          writer_(*writer),
          firstIndex_(firstIndex) {}

    // Room for each run's first job number; false without memory.
    bool Prepare() {
        try {
            starts_.reserve(RunsOf(items_.size()));
            runs_.resize(RunsOf(items_.size()));
        } catch (const std::bad_alloc&) {
            return false;
        }
        std::uint32_t number = 0;
        for (std::size_t first = 0; first < items_.size(); first += kRunFiles) {
            starts_.push_back(number);
            const std::size_t end = std::min(items_.size(), first + kRunFiles);
            for (std::size_t i = first; i < end; ++i) number += items_[i].HasEntry() ? 1 : 0;
        }
        return true;
    }

    int Next(std::uint64_t room, Offer* offer, platform::Failure* failure) override {
        for (;;) {
            if (offering_ != nullptr) {
                const int next = offering_->source->Next(room, offer, failure);
                if (next != 0) return next;
                offering_ = nullptr;
            }
            if (described_ == runs_.size()) return 0;
            if (!Describe(failure)) {
                offer->number = Start(described_);
                return -1;
            }
        }
    }
    bool Take(Job& job) override { return RunOf(job).source->Take(job); }
    bool Work(Job& job) override { return RunOf(job).source->Work(job); }
    void Name(const Job& job, platform::Failure* failure) const override {
        RunOf(job).source->Name(job, failure);
    }
    bool Finish(Job& job) override {
        if (!WriteDescriptions(job.number, &job.why)) return false;
        const std::size_t run = RunIndex(job.number);
        Run& files = *runs_[run];
        if (!files.source->Finish(job)) return false;
        if (++files.finished < files.files.size()) return true;
        if (offering_ == &files) offering_ = nullptr;  // every one taken
        runs_[run].reset();                            // all in the pack
        return true;
    }
    // After the window: the descriptions no entry followed.
    bool End(Reason* why) { return WriteDescriptions(UINT32_MAX, why); }

  private:
    // A run's files with an entry, and the bytes kept of them.
    struct Run {
        std::vector<FolderFile> files;
        std::vector<std::string> kept;
        std::unique_ptr<FileSource> source;
        std::size_t finished = 0;
    };
    struct Pending {
        std::uint32_t before;  // the job its description goes ahead of
        std::unique_ptr<PackEntry> entry;
    };

    std::uint32_t Start(std::size_t run) const {
        return run < starts_.size() ? starts_[run] : UINT32_MAX;
    }
    // The run holding job `number`: the last to start at or before it (runs of no entry start
    // where the next one does). Read by every thread; starts_ never changes once prepared.
    std::size_t RunIndex(std::uint32_t number) const {
        return static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), number) -
                                        starts_.begin() - 1);
    }
    // Each run's slot is set before any of its jobs is offered and reset after its last one
    // finishes, so a worker reads only its own run's.
    const Run& RunOf(const Job& job) const { return *runs_[RunIndex(job.number)]; }
    Run& RunOf(const Job& job) { return *runs_[RunIndex(job.number)]; }

    // Describes the next run and makes it the one offered; false with *failure as the
    // description's.
    bool Describe(platform::Failure* failure) {
        const std::size_t run = described_;
        const std::size_t first = run * kRunFiles;
        const std::size_t count = std::min(kRunFiles, items_.size() - first);
        Reason why = 0;
        std::string culprit;
        try {
            auto files = std::make_unique<Run>();
            std::vector<std::string> kept;
            auto entry =
                DescribeRun(&items_[first], count, firstIndex_ + static_cast<std::uint32_t>(run),
                            options_.compress, options_.engine, &culprit, &why, &kept);
            if (entry == nullptr) return Fail(failure, why, culprit);
            pending_.push_back({Start(run), std::move(entry)});
            for (std::size_t i = 0; i < count; ++i) {
                if (!items_[first + i].HasEntry()) continue;
                files->files.push_back(items_[first + i]);
                files->kept.push_back(std::move(kept[i]));
            }
            ++described_;
            if (files->files.empty()) return true;
            files->source = std::make_unique<FileSource>(
                files->files, options_.compress, options_.engine, budget_, EntrySink(&writer_),
                options_.done, &files->kept, Start(run));
            runs_[run] = std::move(files);
            offering_ = runs_[run].get();
            return true;
        } catch (const std::bad_alloc&) {
            return Fail(failure, platform::kErrorNoMemory);
        }
    }
    // The descriptions due ahead of job `number`, in their order.
    bool WriteDescriptions(std::uint32_t number, Reason* why) {
        std::size_t written = 0;
        for (; written < pending_.size() && pending_[written].before <= number; ++written) {
            if (!writer_.Write(std::move(pending_[written].entry))) {
                return Fail(why, writer_.reason());
            }
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(written));
        return true;
    }

    const std::vector<FolderFile>& items_;
    const StreamOptions& options_;
    std::uint64_t budget_;
    PackWriter& writer_;
    std::uint32_t firstIndex_;
    std::vector<std::uint32_t> starts_;       // each run's first job number
    std::vector<std::unique_ptr<Run>> runs_;  // the runs with jobs in flight, by their place
    std::vector<Pending> pending_;            // descriptions made, not yet written
    std::size_t described_ = 0;               // the runs described so far
    Run* offering_ = nullptr;                 // the run whose files are offered
};

}  // namespace

bool PackDescribed(const std::vector<FolderFile>& files, const StreamOptions& options,
                   std::uint64_t budget, PackWriter* writer, platform::Failure* window,
                   std::uint32_t firstIndex) {
    DescribedSource source(files, options, budget, writer, firstIndex);
    if (!source.Prepare()) return Fail(window, platform::kErrorNoMemory);
    if (!RunWindow(source, budget, options.workers, &SharedProgress(), window)) return false;
    Reason why = 0;
    return source.End(&why) || Fail(window, why);
}
