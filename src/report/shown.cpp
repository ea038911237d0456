// Names made safe for a terminal.
#include "report/shown.h"

#include "platform/platform.h"

namespace {

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

}  // namespace

std::string Shown(std::FILE* stream, std::string text) {
    if (!platform::IsTerminal(stream)) return text;
    for (char& c : text) {
        if (IsControl(c)) c = '?';
    }
    return text;
}

void ShowInPlace(char* text, bool terminal) {
    if (!terminal) return;
    for (char* c = text; *c != '\0'; ++c) {
        if (IsControl(*c)) *c = '?';
    }
}
