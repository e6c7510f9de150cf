// The orders of a listing. Every order is total: whatever key is in force,
// entries that tie on it are ordered by name ignoring case and then by the
// exact bytes of the name, so two distinct entries never compare equal and
// none is ever lost or shown in a random place.
#pragma once

#include <string_view>
#include <vector>

#include "service/transfer/listing/ListEntry.h"
#include "service/transfer/listing/ListOptions.h"

namespace orvyn {

// Negative, zero or positive: names compared ignoring ASCII letter case,
// then byte for byte ("Readme" before "readme").
int CompareNames(std::string_view a, std::string_view b);

// Whether a comes before b in the given order (not reversed). Unsorted has
// no key and keeps every pair as it is.
bool EntryBefore(const ListEntry& a, const ListEntry& b, SortOrder order);

// Sorts for display: ascending by the order's key, descending when reverse
// is set; reverse also turns the unsorted order round.
void SortEntries(std::vector<ListEntry>& entries, SortOrder order, bool reverse);

}  // namespace orvyn
