// Which entries a command takes: shell wildcards matched against the stored names.
#pragma once

#include <string>
#include <vector>

// True when name matches pattern as a shell matches a file name: '*' any run of bytes ('/'
// included, as tar matches member names), '?' any one byte, "[a-c]" one byte of a set ("[!...]"
// or "[^...]" one byte not in it), '\\' before a byte that byte itself; every other byte itself.
bool WildcardMatch(const char* pattern, const char* name);

// The patterns a command was given, and which of them met an entry. No pattern takes every
// entry; an excluded one (exclude.h) is never taken.
class NameSelection {
  public:
    explicit NameSelection(const std::vector<std::string>& patterns,
                           const std::vector<std::string>* excludes = nullptr)
        : patterns_(patterns), excludes_(excludes), met_(patterns.size(), false) {}
    // Whether the entry is taken: not excluded, and its name equals a pattern or matches one.
    // Marks each that does.
    bool Take(const char* name);
    // The first pattern that met no entry, or null.
    const std::string* Unmet() const;

  private:
    const std::vector<std::string>& patterns_;
    const std::vector<std::string>* excludes_;
    std::vector<bool> met_;
};
