// What an unpack restores beside entries' bytes: paths of any length opened part by part below
// its folder and never through a link, folders' modes and times, symbolic and hard links.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pack/descriptions.h"
#include "platform/platform.h"

// What an unpack does with a file already where an entry lands.
enum class Existing : std::uint8_t {
    kReplace,    // the entry's bytes replace it
    kKeep,       // it stays; the entry is passed over, marked kept
    kKeepNewer,  // it stays unless it is older than the entry (kept when the entry has no time)
};

// The folder that holds a path's last part, below a base folder: each folder on the way is
// opened, made when missing if asked, without following a link.
class PathBelow {
  public:
    // Splits path on '/' and the system's separator, empty and "." parts dropped. False with
    // kErrorClimbsOut for a ".." part, kErrorPathTooLong for a part over 255 bytes or a path over
    // 4,096 (before any folder is made), or the system's reason (metLink() then tells whether a
    // link stood on the way).
    bool Open(const platform::Folder& base, const std::string& path, bool make,
              platform::Reason* why);
    const platform::Folder& folder() const { return *at_; }
    // The path's last part; empty when the path names the base itself.
    const std::string& name() const { return name_; }
    bool metLink() const { return metLink_; }

  private:
    const platform::Folder* at_ = nullptr;
    std::unique_ptr<platform::Folder> held_;
    std::string name_;
    bool metLink_ = false;
};

// Strips an item's path, and a hard link's target, of their leading parts (selection.h); false
// without memory.
bool StripItem(descriptions::Item* item, unsigned parts, platform::Reason* why);

// The folders, symbolic links and hard links of one unpack's descriptions, below its folder.
// Used on the window's thread alone.
class Restorer {
  public:
    // What is told of a path: refused with its reason, or kept (reason 0) under the policy.
    using Told = std::function<void(const std::string& path, platform::Reason why)>;
    // Restores below target, which outlives this.
    Restorer(const platform::Folder& target, Existing existing, Told told)
        : target_(target), existing_(existing), told_(std::move(told)) {}

    // A folder, symbolic link or hard link, as its description is taken: a folder is made now,
    // its mode and time set at End; a symbolic link is made now, its text as it is; a hard link
    // is made at End. A path refused is told and counted. False only without memory.
    bool Take(const descriptions::Item& item, platform::Reason* why);
    // A file written whole at path, or kept there under the policy: one a hard link may name.
    bool Written(const std::string& path, platform::Reason* why);
    // Tells and counts a path refused.
    void Refuse(const std::string& path, platform::Reason why);
    // Tells a path whose file stays under the policy.
    void Kept(const std::string& path) {
        if (told_) told_(path, 0);
    }
    // After the last entry: the hard links, then each folder's mode and time, deepest first.
    void End();
    // How many paths were refused.
    std::size_t refused() const { return refused_; }

  private:
    // Whether a file already at the path stays under the policy, against a time in ns.
    bool Keeps(const PathBelow& at, std::int64_t mtimeNs) const;
    // Whether a link made at the path replaces what is there: only under a policy that replaces,
    // or when the policy let something there give way; else what is put there meanwhile stays.
    bool Replaces(const PathBelow& at) const;
    // After a link was made or not at path: one that found its name taken without replacing is
    // kept, any other failure refused.
    void Settle(const std::string& path, bool made, bool replaced, platform::Reason why);

    const platform::Folder& target_;
    Existing existing_;
    Told told_;
    std::vector<descriptions::Item> folders_;  // folders made, and hard links, for End
    std::vector<descriptions::Item> links_;
    std::vector<std::size_t> written_;  // hashes of the paths written whole, sorted at End
    std::string key_;                   // a written path made normal, its room kept
    std::size_t refused_ = 0;
};
