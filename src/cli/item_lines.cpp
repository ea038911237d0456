// The lines of `list -1`, `-0` and `-l`.
#include "cli/item_lines.h"

#include <cstdio>

#include "cli/outcomes.h"
#include "report/item_listing.h"
#include "report/shown.h"

using descriptions::Item;

void ItemLines::Alone(const Item& item) {
    if (!selection_->Take(item.path.c_str())) return;
    Put(form_ == Form::kLong ? LongLine(item) : ListedPath(item));
}

void ItemLines::Entry(const PackEntry& entry, const Item* item) {
    if (!selection_->Take(item != nullptr ? item->path.c_str() : entry.name)) return;
    if (form_ == Form::kLong) {
        Put(item != nullptr ? LongLine(*item) : LongLine(entry.name, entry.size));
    } else if (item == nullptr || item->kind != descriptions::Kind::kPart || item->offset == 0) {
        Put(item != nullptr ? ListedPath(*item) : entry.name);  // a file in parts, once
    }
}

void ItemLines::Put(const std::string& text) {
    Print(Shown(stdout, text) + (form_ == Form::kNull ? "" : "\n"));
    if (form_ == Form::kNull) std::fputc('\0', stdout);  // a failure shows in Finished's flush
}
