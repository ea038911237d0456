// How a conversion runs, and what it tells when it fails.
#pragma once

#include <functional>
#include <string>

#include "fsbridge/stream_options.h"

// How a conversion runs: the streaming options (compression, --skip, workers, wait, what it
// tells), and where each name cleaned of an archive's item is told.
struct ConvertOptions {
    StreamOptions stream;
    // An item's path, what cleaning took away from it, and the name it goes by.
    std::function<void(const std::string& path, const std::string& removed,
                       const std::string& name)>
        renamed;
};

// What failed: the record every operation fills, and libarchive's own words when the failure
// was its (empty otherwise).
struct ConvertFailure {
    platform::Failure failure;
    std::string words;
};
