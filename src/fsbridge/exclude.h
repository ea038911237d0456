// Names a command leaves out (--exclude), and names with their leading folders taken away
// (--strip-components).
#pragma once

#include <string>
#include <vector>

// Whether a pattern (shell wildcards, as WildcardMatch) matches the name whole or any run of
// its '/'-separated parts: "b" leaves out "b", "a/b" and "a/b/c", so that an excluded folder
// takes everything below it.
bool Excluded(const std::vector<std::string>& patterns, const std::string& name);

// The name without its first `parts` '/'-separated parts (empty parts not counted); empty when
// it has no more than that, and is then left out.
std::string Stripped(const char* name, unsigned parts);
