// Which entries a command takes: shell wildcards matched against the stored names, names a
// command leaves out (--exclude), and names with their leading folders taken away
// (--strip-components).
#pragma once

#include <string>
#include <vector>

// True when name matches pattern as a shell matches a file name: '*' any run of bytes ('/'
// included, as tar matches member names), '?' any one byte, "[a-c]" one byte of a set ("[!...]"
// or "[^...]" one byte not in it), '\\' before a byte that byte itself; every other byte itself.
bool WildcardMatch(const char* pattern, const char* name);

// The patterns a command was given, and which of them met an entry. No pattern takes every
// entry; an excluded one (Excluded) is never taken.
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

// Whether a pattern (shell wildcards, as WildcardMatch) matches the name whole or any run of
// its '/'-separated parts: "b" leaves out "b", "a/b" and "a/b/c", so that an excluded folder
// takes everything below it.
bool Excluded(const std::vector<std::string>& patterns, const std::string& name);

// The name without its first `parts` '/'-separated parts (empty parts not counted); empty when
// it has no more than that, and is then left out.
std::string Stripped(const char* name, unsigned parts);
