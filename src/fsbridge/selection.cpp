// Shell wildcards against entry names, and names excluded or stripped.
#include "fsbridge/selection.h"

#include <cstring>

namespace {

// Matches the set at pattern (just past its '['), for the byte c; *end is set past the ']'.
// False for *end null when the set is not closed: the '[' is then a byte like any other.
bool InSet(const char* pattern, unsigned char c, const char** end) {
    const char* at = pattern;
    const bool negated = *at == '!' || *at == '^';
    if (negated) ++at;
    bool found = false;
    // A ']' first in the set is one of its bytes.
    for (bool first = true; *at != '\0' && (first || *at != ']'); first = false) {
        auto low = static_cast<unsigned char>(*at++);
        auto high = low;
        if (at[0] == '-' && at[1] != '\0' && at[1] != ']') {
            high = static_cast<unsigned char>(at[1]);
            at += 2;
        }
        if (low <= c && c <= high) found = true;
    }
    if (*at != ']') {
        *end = nullptr;
        return false;
    }
    *end = at + 1;
    return found != negated;
}

}  // namespace

bool WildcardMatch(const char* pattern, const char* name) {
    // The last '*' met and where in the name it stands: on a mismatch it takes one byte more.
    const char* star = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        const char* next = nullptr;
        bool one = false;
        if (*pattern == '*') {
            star = ++pattern;
            starName = name;
            continue;
        }
        if (*pattern == '?') {
            one = true;
            next = pattern + 1;
        } else if (*pattern == '[') {
            one = InSet(pattern + 1, static_cast<unsigned char>(*name), &next);
            if (next == nullptr) {
                one = *name == '[';
                next = pattern + 1;
            }
        } else if (*pattern == '\\' && pattern[1] != '\0') {
            one = pattern[1] == *name;
            next = pattern + 2;
        } else {
            one = *pattern != '\0' && *pattern == *name;
            next = pattern + 1;
        }
        if (one) {
            pattern = next;
            ++name;
        } else if (star != nullptr) {
            pattern = star;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

bool NameSelection::Take(const char* name) {
    if (excludes_ != nullptr && Excluded(*excludes_, name)) return false;
    bool taken = patterns_.empty();
    for (std::size_t i = 0; i < patterns_.size(); ++i) {
        if (patterns_[i] == name || WildcardMatch(patterns_[i].c_str(), name)) {
            taken = met_[i] = true;
        }
    }
    return taken;
}

const std::string* NameSelection::Unmet() const {
    for (std::size_t i = 0; i < patterns_.size(); ++i) {
        if (!met_[i]) return &patterns_[i];
    }
    return nullptr;
}

bool Excluded(const std::vector<std::string>& patterns, const std::string& name) {
    for (std::size_t start = 0; start != std::string::npos;) {
        for (std::size_t end = name.find('/', start);; end = name.find('/', end + 1)) {
            const std::string run =
                name.substr(start, end == std::string::npos ? end : end - start);
            for (const std::string& pattern : patterns) {
                if (WildcardMatch(pattern.c_str(), run.c_str())) return true;
            }
            if (end == std::string::npos) break;
        }
        start = name.find('/', start);
        if (start != std::string::npos) ++start;
    }
    return false;
}

std::string Stripped(const char* name, unsigned parts) {
    const char* at = name;
    for (unsigned left = parts; left > 0; --left) {
        while (*at == '/') ++at;
        while (*at != '/' && *at != '\0') ++at;
        if (*at == '\0') return {};
    }
    while (parts > 0 && *at == '/') ++at;
    return at;
}
