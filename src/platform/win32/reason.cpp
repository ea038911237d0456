// Windows reasons: the last error, read once where a call fails, and the system's words for it.
#ifdef _WIN32

#include <string>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

Reason LastReason() {
    const DWORD code = GetLastError();
    return code == 0 ? Reason{kErrorFailed} : code;
}

bool IsNotFound(Reason code) {
    return code == ERROR_FILE_NOT_FOUND;
}

bool IsAlreadyThere(Reason code) {
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
}

std::string ErrorText(Reason code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string words = length != 0 && text != nullptr ? std::string(text, length) : "";
    if (text != nullptr) LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                              words.back() == '.')) {
        words.pop_back();
    }
    return words.empty() ? "error " + std::to_string(code) : words;
}

}  // namespace platform

#endif  // _WIN32
