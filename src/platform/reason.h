// Why an operation failed: read from the system once, where the failure happens, and carried up
// in the operation's result to the front end that words it. Nothing else reads errno or the
// Windows last error: a call made while cleaning up can no longer change the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>

namespace platform {

// 0 while nothing failed; otherwise a code of the system's (errno, or a Windows error code) or
// one of the program's own below.
using Reason = std::uint32_t;

// The program's own reasons lie in the range Windows leaves to applications (its customer bit),
// so that they never meet a system code. The front ends word them, one text per code, the
// table's length checked against kOwnReasons where it is built.
inline constexpr Reason kOwnError = 0x20000000u;
enum OwnReason : Reason {
    kErrorNameTooLong = kOwnError | 1,
    kErrorNotPackFile,
    kErrorDamagedRecord,
    kErrorCorruptData,
    kErrorEmptyFile,
    kErrorFileTooLarge,
    kErrorNotRegularFile,
    kErrorClimbsOut,
    kErrorNoSuchEntry,
    kErrorFailed,  // no reason was told
    kErrorTerminalInput,
    // What stands at a file's target and is never replaced by it.
    kErrorTargetIsFolder,
    kErrorTargetIsFifo,
    kErrorTargetIsDevice,
    kErrorTargetIsSocket,
    // A name that cannot be a file's: empty, ".", or ending in a separator.
    kErrorNoFileName,
    // Windows: a name it takes for a device (CON, aux.txt, COM1, ...), or one it would change
    // (a dot or a blank at its end, which it drops).
    kErrorReservedName,
    kErrorAlteredName,
    // A pack asked for on standard output while that is a terminal: binary is not shown to a
    // person.
    kErrorTerminalOutput,
    // A file whose length or identity is not what it was when it was checked, before it was read.
    kErrorFileChanged,
    // Another writer holds the pack, and did not let go within the wait.
    kErrorBusy,
    // An entry's plain bytes whose CRC-32 is not the one its description holds.
    kErrorChecksum,
    // A path with a part over 255 bytes, or longer in all than the system allows.
    kErrorPathTooLong,
    // A path that meets a symbolic link on its way: nothing is written through one.
    kErrorThroughLink,
    // A hard link whose file is not one restored by the same unpack.
    kErrorLinkedFileMissing,
    // A part of a file that does not follow the one before it: the file is not written.
    kErrorPartMissing,
    // A new name an entry of the pack has already.
    kErrorNameTaken,
    kOwnErrorEnd  // one past the last
};
// The program's own codes, kOwnError itself (worded as a failure without a reason) among them.
inline constexpr std::size_t kOwnReasons = kOwnErrorEnd - kOwnError;

// The system's code for memory that could not be had.
extern const Reason kErrorNoMemory;

// What failed and why: the one record an operation fills for the front end that words it.
struct Failure {
    Reason reason = 0;        // 0 while nothing failed
    std::uint32_t entry = 0;  // the entry's place in the pack, from 1; 0 when not an entry's
    std::string item;         // the file, entry name or pack file it concerns; may be empty
    bool told = false;        // already told item by item (each refused file named as met)
    long holder = 0;  // with kErrorBusy: the process holding the pack, when it could be read
};

// Keeps a failure's reason in *why (when there is a place for it) and gives false, so that a
// failure reads `return Fail(why, code);`. A code of 0 becomes kErrorFailed.
inline bool Fail(Reason* why, Reason code) {
    if (why != nullptr) *why = code == 0 ? Reason{kErrorFailed} : code;
    return false;
}
// The same into a whole record (when there is one): the reason, the item and the entry. An item
// that finds no memory is left empty.
inline bool Fail(Failure* failure, Reason code, const std::string& item = {},
                 std::uint32_t entry = 0) {
    if (failure == nullptr) return false;
    Fail(&failure->reason, code);
    failure->entry = entry;
    try {
        failure->item = item;
    } catch (const std::bad_alloc&) {
        failure->item.clear();
    }
    return false;
}

// Runs `step`, whose standard containers may find no memory: false, the failure kErrorNoMemory
// in *why (a Reason, or a whole Failure with the item given), when they do; else what the step
// gives (true for one that gives nothing).
template <typename Where, typename Step, typename... Item>
bool WithMemory(Where* why, Step&& step, const Item&... item) {
    try {
        if constexpr (std::is_void_v<decltype(step())>) {
            step();
            return true;
        } else {
            return step();
        }
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory, item...);
    }
}

// True for the system's code of a file that does not exist.
bool IsNotFound(Reason code);
// True for the system's code of a name that something holds already (a commit that keeps it).
bool IsAlreadyThere(Reason code);

// True for the system's code of a write into a pipe whose reader has gone.
bool IsBrokenPipe(Reason code);

// The system's own words for one of its codes: one line, no full stop at the end.
std::string ErrorText(Reason code);

}  // namespace platform
