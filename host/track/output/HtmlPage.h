// One self-contained HTML page of rows that a person can scan, fold, search and filter: the form of
// both a capture's report and a comparison of two. Every row is in the markup, so the page reads
// with scripts off; its one inline script only filters and folds, and the page's
// Content-Security-Policy allows that script and that style by their hashes and nothing else, so
// that nothing taken from the machine (a value named "<script>...", say) can run.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace track {

// One line of a table. `kind`, `change` and `process` are what the filters choose by; `cells` are
// UTF-8 text, escaped when written.
struct HtmlRow {
    std::string kind;
    std::string change;
    std::string process;
    std::vector<std::string> cells;
};

struct HtmlSection {
    std::string title;
    std::vector<std::string> columns;
    std::vector<HtmlRow> rows;
    bool noise = false; // folded by default, and hidden with the noise filter
};

struct HtmlBar {
    std::string label;
    size_t count = 0;
};

struct HtmlChart {
    std::string title;
    std::vector<HtmlBar> bars;
};

struct HtmlPage {
    std::string title;
    std::vector<std::pair<std::string, std::string>> facts; // the header: name, value
    std::vector<std::pair<std::string, size_t>> counts;
    std::vector<std::string> warnings; // shown first, in a box nobody scrolls past
    std::string warningTitle = "This capture is incomplete";
    std::string changeFilterName = "Change";
    std::vector<HtmlChart> charts;
    std::vector<HtmlSection> sections;
};

// Text as HTML text or attribute value: & < > " ' escaped, control characters (but tab and line
// feed) shown as U+FFFD.
std::string EscapeHtml(const std::string& utf8);

// At most `limit` characters of UTF-8 text; longer text is cut at a character boundary and says
// its full length.
std::string Abridged(const std::string& utf8, size_t limit = 200);

std::string RenderHtmlPage(const HtmlPage& page);

} // namespace track
