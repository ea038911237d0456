// The contents listing of menu key 7.
#include "console/console.h"
#include "pack/pack.h"
#include "platform/platform.h"
#include "report/listing.h"

void ShowContents(const Pack& pack) {
    platform::ClearScreen();
    ContentsListing listing(stdout, pack.IsCompressed() != 0);
    for (const PackEntry* entry = pack.First(); entry != nullptr; entry = entry->next) {
        listing.Entry(*entry);
    }
    listing.Finish(pack.Count());
}
