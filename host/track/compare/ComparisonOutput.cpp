#include "host/track/compare/Comparison.h"

#include "host/track/output/HtmlPage.h"
#include "host/track/output/Reports.h"

namespace track {

namespace {

template <typename Item>
const Item& Either(const Paired<Item>& pair) {
    return pair.a != nullptr ? *pair.a : *pair.b;
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Summary(const Comparison& c) {
    if (c.Same())
        return "Summary: the captures match";
    return "Summary: the captures differ: " + Plural(c.filesOnlyInA.size(), "file", "files") +
           " only in A, " + std::to_string(c.filesOnlyInB.size()) + " only in B, " +
           std::to_string(c.filesDiffering.size()) + " differing; " +
           Plural(c.valuesOnlyInA.size(), "registry value", "registry values") + " only in A, " +
           std::to_string(c.valuesOnlyInB.size()) + " only in B, " +
           std::to_string(c.valuesDiffering.size()) + " differing";
}

template <typename Item, typename Line>
void AppendList(std::string& out, const std::string& heading, const std::vector<Paired<Item>>& items,
                Line line) {
    out += heading + " (" + std::to_string(items.size()) + "):\n";
    if (items.empty())
        out += "  (none)\n";
    for (const auto& pair : items)
        out += line(pair);
    out += "\n";
}

std::string FileLine(const Paired<CapturedFile>& pair) {
    return "  " + Either(pair).path + "  (" + DescribeFile(Either(pair)) + ")\n";
}

std::string ValueLine(const Paired<CapturedValue>& pair) {
    return "  " + Either(pair).path + "  " + DescribeValue(Either(pair)) + "\n";
}

std::string Differing(const std::string& path, const std::string& a, const std::string& b) {
    return "  " + path + "\n      A: " + a + "\n      B: " + b + "\n";
}

std::string JsonFile(const CapturedFile* file) {
    if (file == nullptr)
        return "null";
    return "{\"path\": " + JsonUtf8String(file->path) +
           ", \"removed\": " + (file->removed ? "true" : "false") +
           ", \"size\": " + (file->sizeKnown ? std::to_string(file->size) : std::string("null")) + "}";
}

std::string JsonValueItem(const CapturedValue* value) {
    if (value == nullptr)
        return "null";
    return "{\"path\": " + JsonUtf8String(value->path) + ", \"type\": " + JsonUtf8String(value->type) +
           ", \"deleted\": " + (value->deleted ? "true" : "false") +
           ", \"value\": " + JsonUtf8String(value->shown) + "}";
}

template <typename Item, typename Format>
void AppendJsonArray(std::string& out, const char* name, const std::vector<Paired<Item>>& items,
                     Format format) {
    out += std::string("  \"") + name + "\": [";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "\n    " : ",\n    ") + std::string("{\"a\": ") + format(items[i].a) +
               ", \"b\": " + format(items[i].b) + "}";
    out += items.empty() ? "],\n" : "\n  ],\n";
}

template <typename Item, typename Cells>
HtmlSection Section(const std::string& title, const char* kind, const char* change,
                    const std::vector<std::string>& columns, const std::vector<Paired<Item>>& items,
                    Cells cells) {
    HtmlSection section{title, columns, {}, false};
    for (const auto& pair : items)
        section.rows.push_back({kind, change, "", cells(pair)});
    return section;
}

std::vector<std::string> FileCells(const Paired<CapturedFile>& pair) {
    return {Either(pair).path, pair.a ? DescribeFile(*pair.a) : "", pair.b ? DescribeFile(*pair.b) : ""};
}

std::vector<std::string> ValueCells(const Paired<CapturedValue>& pair) {
    return {Either(pair).path, pair.a ? Abridged(DescribeValue(*pair.a)) : "",
            pair.b ? Abridged(DescribeValue(*pair.b)) : ""};
}

} // namespace

std::string FormatComparisonText(const Comparison& c) {
    std::string out = "Comparing A: " + c.a->file + " (" + c.a->command + ")\n     with B: " + c.b->file +
                      " (" + c.b->command + ")\n\n";
    for (const auto* capture : {c.a, c.b})
        for (const std::string& warning : capture->warnings)
            out += "Warning: " + std::string(capture == c.a ? "A" : "B") +
                   "'s capture is incomplete: " + warning + "\n";
    if (!c.a->warnings.empty() || !c.b->warnings.empty())
        out += "\n";
    AppendList(out, "Files only in A", c.filesOnlyInA, FileLine);
    AppendList(out, "Files only in B", c.filesOnlyInB, FileLine);
    AppendList(out, "Files that differ", c.filesDiffering, [](const Paired<CapturedFile>& pair) {
        return Differing(pair.a->path, DescribeFile(*pair.a), DescribeFile(*pair.b));
    });
    AppendList(out, "Registry values only in A", c.valuesOnlyInA, ValueLine);
    AppendList(out, "Registry values only in B", c.valuesOnlyInB, ValueLine);
    AppendList(out, "Registry values that differ", c.valuesDiffering, [](const Paired<CapturedValue>& pair) {
        return Differing(pair.a->path, DescribeValue(*pair.a), DescribeValue(*pair.b));
    });
    return out + Summary(c) + "\n";
}

std::string FormatComparisonJson(const Comparison& c) {
    std::string out = "{\n  \"a\": {\"file\": " + JsonUtf8String(c.a->file) +
                      ", \"command\": " + JsonUtf8String(c.a->command) +
                      "},\n  \"b\": {\"file\": " + JsonUtf8String(c.b->file) +
                      ", \"command\": " + JsonUtf8String(c.b->command) +
                      "},\n  \"same\": " + (c.Same() ? "true" : "false") + ",\n";
    AppendJsonArray(out, "filesOnlyInA", c.filesOnlyInA, JsonFile);
    AppendJsonArray(out, "filesOnlyInB", c.filesOnlyInB, JsonFile);
    AppendJsonArray(out, "filesDiffering", c.filesDiffering, JsonFile);
    AppendJsonArray(out, "valuesOnlyInA", c.valuesOnlyInA, JsonValueItem);
    AppendJsonArray(out, "valuesOnlyInB", c.valuesOnlyInB, JsonValueItem);
    AppendJsonArray(out, "valuesDiffering", c.valuesDiffering, JsonValueItem);
    out += "  \"summary\": " + JsonUtf8String(Summary(c)) + "\n}\n";
    return out;
}

std::string FormatComparisonHtml(const Comparison& c) {
    HtmlPage page;
    page.title = "Comparison of " + c.a->file + " and " + c.b->file;
    page.facts = {{"A", c.a->file},
                  {"A's setup", c.a->command},
                  {"B", c.b->file},
                  {"B's setup", c.b->command},
                  {"Result", Summary(c).substr(9)}};
    page.warningTitle = "A capture compared is incomplete";
    for (const auto* capture : {c.a, c.b})
        for (const std::string& warning : capture->warnings)
            page.warnings.push_back(std::string(capture == c.a ? "A" : "B") + ": " + warning);
    page.counts = {
        {"files only in A", c.filesOnlyInA.size()},   {"files only in B", c.filesOnlyInB.size()},
        {"files differing", c.filesDiffering.size()}, {"values only in A", c.valuesOnlyInA.size()},
        {"values only in B", c.valuesOnlyInB.size()}, {"values differing", c.valuesDiffering.size()}};
    page.changeFilterName = "Difference";
    page.charts = {{"Differences",
                    {{"files only in A", c.filesOnlyInA.size()},
                     {"files only in B", c.filesOnlyInB.size()},
                     {"files differing", c.filesDiffering.size()},
                     {"values only in A", c.valuesOnlyInA.size()},
                     {"values only in B", c.valuesOnlyInB.size()},
                     {"values differing", c.valuesDiffering.size()}}}};
    const std::vector<std::string> fileColumns = {"Path", "A", "B"}, valueColumns = {"Path", "A", "B"};
    page.sections.push_back(
        Section("Files only in A", "file", "only in A", fileColumns, c.filesOnlyInA, FileCells));
    page.sections.push_back(
        Section("Files only in B", "file", "only in B", fileColumns, c.filesOnlyInB, FileCells));
    page.sections.push_back(
        Section("Files that differ", "file", "differs", fileColumns, c.filesDiffering, FileCells));
    page.sections.push_back(Section("Registry values only in A", "value", "only in A", valueColumns,
                                    c.valuesOnlyInA, ValueCells));
    page.sections.push_back(Section("Registry values only in B", "value", "only in B", valueColumns,
                                    c.valuesOnlyInB, ValueCells));
    page.sections.push_back(Section("Registry values that differ", "value", "differs", valueColumns,
                                    c.valuesDiffering, ValueCells));
    return RenderHtmlPage(page);
}

} // namespace track
