// What `list -1`, `-0` and `-l` print of a pack's items, one line (or NUL-ended name) each.
#pragma once

#include "fsbridge/selection.h"
#include "pack/descriptions.h"
#include "pack/pack.h"

class ItemLines {
  public:
    enum class Form { kNames, kNull, kLong };
    // Lines of that form for the items selection takes (matched against their full paths).
    ItemLines(Form form, NameSelection* selection) : form_(form), selection_(selection) {}
    // An item held by no entry (a folder, a link), told as its description is taken.
    void Alone(const descriptions::Item& item);
    // An entry, described by item or (null) not: its item's full path, else its stored name.
    void Entry(const PackEntry& entry, const descriptions::Item* item);

  private:
    void Put(const std::string& text);
    Form form_;
    NameSelection* selection_;
};
