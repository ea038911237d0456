// One folder -> the whole pack: the listing packing takes, and the menu's folder pack.
#include "fsbridge/folder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "fsbridge/sources.h"
#include "pack/pack.h"
#include "pack/progress.h"
#include "pack/window.h"

using platform::Fail;
using platform::Reason;

namespace {

// ASCII letters in upper case, every other byte as it is.
unsigned char Upper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

// The order NTFS lists a folder in: names compared by their upper-case bytes, then, for names
// that differ only in case, by their bytes. Packing sorts every listing into it, so a folder
// gives the same pack on every system and every run.
bool ListedBefore(const char* a, const char* b) {
    std::size_t at = 0;
    for (; a[at] != '\0' && Upper(a[at]) == Upper(b[at]); ++at) {
    }
    if (Upper(a[at]) != Upper(b[at])) return Upper(a[at]) < Upper(b[at]);
    return std::strcmp(a, b) < 0;
}

// Asks the length of every file of a listing; the first in order that fails is the one named.
class SizeSource final : public InOrderSource {
  public:
    explicit SizeSource(std::vector<FolderFile>* files)
        : InOrderSource(files->size()), files_(*files) {}
    bool Work(Job& job) override {
        FolderFile& file = files_[job.item];
        return platform::RegularFileLength(file.name.c_str(), &file.size, &job.why);
    }
    bool Finish(Job&) override { return true; }

  private:
    std::vector<FolderFile>& files_;
};

}  // namespace

bool ListFolderFiles(std::vector<FolderFile>* files, std::string* culprit, Reason* why) {
    culprit->clear();
    WIN32_FIND_DATAA found;
    std::memset(&found, 0, sizeof found);
    HANDLE search = FindFirstFileA("*", &found);
    if (search == INVALID_HANDLE_VALUE) return Fail(why, platform::SearchFailure());
    Reason failure = 0;
    try {
        do {
            if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) !=
                0) {
                continue;
            }
            files->push_back({found.cFileName, 0});
            if (!PackEntry::NameFits(found.cFileName)) {
                *culprit = found.cFileName;
                failure = platform::kErrorNameTooLong;  // refused, never cut
            }
        } while (failure == 0 && FindNextFileA(search, &found));
        // A listing that failed part-way is not the whole folder.
        if (failure == 0) failure = platform::SearchFailure();
        if (failure == 0) {
            std::sort(files->begin(), files->end(), [](const FolderFile& a, const FolderFile& b) {
                return ListedBefore(a.name.c_str(), b.name.c_str());
            });
        }
    } catch (const std::bad_alloc&) {
        failure = platform::kErrorNoMemory;
    }
    FindClose(search);
    if (failure != 0) return Fail(why, failure);
    if (files->size() >= UINT32_MAX) return Fail(why, platform::kErrorFailed);
    SizeSource source(files);
    WindowFailure sized;
    if (RunWindow(source, kNoBudget, 0, &sized)) return true;
    if (sized.item < files->size()) *culprit = (*files)[sized.item].name;
    return Fail(why, sized.why);
}

bool Pack::PackFolder(const char* folder) {
    if (folder == nullptr || *folder == '\0') return false;
    Clear();
    // Without a way back, the folder is never entered.
    FolderReturn visit;
    if (!visit.Enter(folder, nullptr)) return false;
    std::vector<FolderFile> files;
    std::string culprit;
    bool packed = ListFolderFiles(&files, &culprit, nullptr);
    if (packed) {
        SharedProgress().Start(files.size(), BytesOf(files));
        FileSource source(files, false, Compressor::kZlib, kNoBudget, EntrySink(this));
        WindowFailure failure;
        packed = RunWindow(source, kNoBudget, 0, &failure);
    }
    visit.Back();
    if (!packed) Clear();
    return packed;
}
