// Two captures compared: what one machine (or one version of a setup) got that the other did not.
//
// Matching rule: paths are compared without regard to ASCII case, and what differs between two
// machines for the same place is set aside first: a user's profile folder (X:\Users\NAME\ or
// X:\Documents and Settings\NAME\, any drive, but not the shared Public, All Users and Default)
// counts as one folder, as do the program-files folders (X:\Program Files\ and
// X:\Program Files (x86)\) and, in the registry, HKEY_USERS\<SID>\ and HKCU\, and a key path with
// or without its Wow6432Node. String data is compared with the same folders set aside wherever they
// appear in it, and otherwise exactly.
#pragma once

#include "host/track/compare/Capture.h"

#include <string>
#include <vector>

namespace track {

// The form of a path (or of string data) under which the two captures' items are matched.
std::string MatchingForm(const std::string& path, bool registry);
std::string MatchingData(const std::string& data);

// An item of one capture, or of both with their difference.
template <typename Item>
struct Paired {
    const Item* a = nullptr;
    const Item* b = nullptr;
};

struct Comparison {
    const Capture* a = nullptr;
    const Capture* b = nullptr;
    std::vector<Paired<CapturedFile>> filesOnlyInA, filesOnlyInB, filesDiffering;
    std::vector<Paired<CapturedValue>> valuesOnlyInA, valuesOnlyInB, valuesDiffering;

    bool Same() const {
        return filesOnlyInA.empty() && filesOnlyInB.empty() && filesDiffering.empty() &&
               valuesOnlyInA.empty() && valuesOnlyInB.empty() && valuesDiffering.empty();
    }
};

// Items in A's order, then B's own. `a` and `b` must outlive the result.
Comparison CompareCaptures(const Capture& a, const Capture& b);

// "4096 bytes", "removed", "size unknown"; a value's "REG_SZ \"1.0\"" or "deleted".
std::string DescribeFile(const CapturedFile& file);
std::string DescribeValue(const CapturedValue& value);

// The three forms of a comparison: text for people (lines end in "\n"), JSON and an HTML page.
std::string FormatComparisonText(const Comparison& comparison);
std::string FormatComparisonJson(const Comparison& comparison);
std::string FormatComparisonHtml(const Comparison& comparison);

} // namespace track
