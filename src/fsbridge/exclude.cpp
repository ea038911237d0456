// Excluded and stripped names.
#include "fsbridge/exclude.h"

#include "fsbridge/selection.h"

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
