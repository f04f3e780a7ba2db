#include "host/track/output/HtmlPage.h"

#include "host/track/output/Sha256.h"

#include <algorithm>
#include <set>

namespace track {

namespace {

// Filters and folds, nothing else: every row is already in the markup. It reads each row's filter
// facts once, and on a change only flips the `hidden` attribute of the rows whose state changes, so
// that 20,000 rows filter without a relayout of the rest. Texts for the search are read on the
// first search, not at load.
constexpr const char* kScript = R"JS(
(function () {
  'use strict';
  var doc = document;
  var form = doc.getElementById('filters');
  var search = doc.getElementById('q');
  var kind = doc.getElementById('fk');
  var change = doc.getElementById('fc');
  var proc = doc.getElementById('fp');
  var noise = doc.getElementById('fn');
  var sections = Array.prototype.slice.call(doc.querySelectorAll('section.rows'));
  var rows = [], facts = [], owner = [], chunkOf = [], chunks = [], texts = null;
  sections.forEach(function (section, s) {
    var parts = section.querySelectorAll('div.chunk');
    for (var c = 0; c < parts.length; c++) {
      var list = parts[c].querySelectorAll('tbody > tr');
      for (var i = 0; i < list.length; i++) {
        var r = list[i];
        rows.push(r);
        facts.push([r.getAttribute('data-k'), r.getAttribute('data-c'), r.getAttribute('data-p') || '']);
        owner.push(s);
        chunkOf.push(chunks.length);
      }
      chunks.push(parts[c]);
    }
  });
  var counters = sections.map(function (section) { return section.querySelector('.shown'); });
  function apply() {
    var term = search.value.trim().toLowerCase();
    var i;
    if (term && !texts) {
      texts = new Array(rows.length);
      for (i = 0; i < rows.length; i++) texts[i] = rows[i].textContent.toLowerCase();
    }
    var k = kind.value, c = change.value, p = proc.value, hideNoise = !noise.checked;
    var shown = sections.map(function () { return 0; });
    var inChunk = chunks.map(function () { return 0; });
    for (i = 0; i < rows.length; i++) {
      var f = facts[i];
      var show = (!k || f[0] === k) && (!c || f[1] === c) && (!p || f[2] === p) &&
                 (!term || texts[i].indexOf(term) !== -1);
      if (rows[i].hidden === show) rows[i].hidden = !show;
      if (show) {
        shown[owner[i]]++;
        inChunk[chunkOf[i]]++;
      }
    }
    // A chunk off screen is not laid out: it takes the height given here, so that a filtered
    // page has no gaps where hidden rows were. The first chunk of a section keeps its header.
    var filtering = !!(term || k || c || p);
    chunks.forEach(function (chunk, n) {
      var hide = inChunk[n] === 0 && !!chunk.previousElementSibling;
      if (chunk.hidden !== hide) chunk.hidden = hide;
      var size = filtering ? (inChunk[n] * 22 + 24) + 'px' : '';
      if (chunk.style.containIntrinsicSize !== size) chunk.style.containIntrinsicSize = size;
    });
    sections.forEach(function (section, s) {
      var hide = hideNoise && section.hasAttribute('data-noise');
      if (section.hidden !== hide) section.hidden = hide;
      if (counters[s]) counters[s].textContent = String(shown[s]);
    });
    doc.documentElement.setAttribute('data-filtered', String(performance.now()));
  }
  function fold(open) {
    var all = doc.querySelectorAll('details.section');
    for (var i = 0; i < all.length; i++) all[i].open = open;
  }
  var timer = 0;
  search.addEventListener('input', function () {
    clearTimeout(timer);
    timer = setTimeout(apply, 120);
  });
  [kind, change, proc, noise].forEach(function (e) { e.addEventListener('change', apply); });
  doc.getElementById('unfold').addEventListener('click', function () { fold(true); });
  doc.getElementById('fold').addEventListener('click', function () { fold(false); });
  form.addEventListener('submit', function (e) { e.preventDefault(); apply(); });
  form.hidden = false;
  doc.documentElement.setAttribute('data-ready', String(performance.now()));
})();
)JS";

constexpr const char* kStyle = R"CSS(
body { font: 14px/1.4 system-ui, sans-serif; margin: 0 auto; max-width: 1400px; padding: 0 16px 32px; color: #1d2330; background: #fff; }
h1 { font-size: 20px; margin: 16px 0 8px; overflow-wrap: anywhere; }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: 2px 16px; margin: 0 0 8px; }
dl.facts dt { color: #5a6478; }
dl.facts dd { margin: 0; font-family: ui-monospace, Consolas, monospace; overflow-wrap: anywhere; }
ul.counts { list-style: none; padding: 0; margin: 8px 0; display: flex; flex-wrap: wrap; gap: 6px; }
ul.counts li { background: #eef2f8; border-radius: 4px; padding: 2px 8px; }
.warnings { border: 2px solid #c0392b; background: #fdecea; padding: 8px 12px; margin: 12px 0; border-radius: 4px; }
.warnings h2 { margin: 0 0 4px; font-size: 16px; color: #a02a1e; }
.warnings ul { margin: 0; padding-left: 20px; }
.charts { display: flex; flex-wrap: wrap; gap: 24px; margin: 12px 0; }
.charts figure { margin: 0; }
figcaption { font-weight: 600; margin-bottom: 4px; }
form { position: sticky; top: 0; background: #fff; padding: 8px 0; border-bottom: 1px solid #d8dee9; display: flex; flex-wrap: wrap; gap: 8px; align-items: center; z-index: 1; }
form input[type=search] { flex: 1 1 240px; padding: 4px; }
details.section { margin: 8px 0; border: 1px solid #d8dee9; border-radius: 4px; }
details.section > summary { cursor: pointer; padding: 6px 10px; background: #f4f6fa; font-weight: 600; }
.count { color: #5a6478; font-weight: 400; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; }
th, td { text-align: left; padding: 2px 8px; border-top: 1px solid #eceff4; vertical-align: top; overflow-wrap: anywhere; }
th { background: #fafbfd; }
th:first-child, td:first-child { width: 34%; }
.chunk { content-visibility: auto; contain-intrinsic-size: auto 11000px; }
td { font-family: ui-monospace, Consolas, monospace; font-size: 12.5px; }
tr[data-c="new"] td:first-child, tr[data-c="only in B"] td:first-child { border-left: 3px solid #2e8b57; }
tr[data-c="changed"] td:first-child, tr[data-c="differs"] td:first-child { border-left: 3px solid #d98e04; }
tr[data-c="deleted"] td:first-child, tr[data-c="only in A"] td:first-child { border-left: 3px solid #c0392b; }
section[data-noise] summary { color: #5a6478; }
)CSS";

constexpr size_t kRowsPerChunk = 500;

constexpr const char* kBarColours[] = {"#3b6fb6", "#2e8b57", "#d98e04", "#8e44ad", "#c0392b", "#16a085"};

std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + EscapeHtml(value) + "\"";
}

std::string RenderChart(const HtmlChart& chart) {
    constexpr int kLabelWidth = 300, kBarWidth = 220, kRow = 22;
    size_t most = 1;
    for (const HtmlBar& bar : chart.bars)
        most = std::max(most, bar.count);
    const int height = kRow * static_cast<int>(std::max<size_t>(chart.bars.size(), 1)) + 4;
    std::string out = "<figure><figcaption>" + EscapeHtml(chart.title) + "</figcaption>";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" width=\"" +
           std::to_string(kLabelWidth + kBarWidth + 60) + "\" height=\"" + std::to_string(height) + "\">";
    out += "<title>" + EscapeHtml(chart.title) + "</title>";
    if (chart.bars.empty())
        out += "<text x=\"0\" y=\"16\" font-size=\"13\" fill=\"#5a6478\">(nothing)</text>";
    for (size_t i = 0; i < chart.bars.size(); ++i) {
        const HtmlBar& bar = chart.bars[i];
        const int y = static_cast<int>(i) * kRow + 2;
        const int width = std::max(2, static_cast<int>(bar.count * kBarWidth / most));
        out += "<text x=\"" + std::to_string(kLabelWidth - 6) + "\" y=\"" + std::to_string(y + 14) +
               "\" font-size=\"12\" text-anchor=\"end\" fill=\"#1d2330\">" +
               EscapeHtml(Abridged(bar.label, 44)) + "<title>" + EscapeHtml(bar.label) + "</title></text>";
        out += "<rect x=\"" + std::to_string(kLabelWidth) + "\" y=\"" + std::to_string(y + 2) +
               "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(kRow - 6) +
               "\" fill=\"" + kBarColours[i % (sizeof kBarColours / sizeof *kBarColours)] + "\"/>";
        out += "<text x=\"" + std::to_string(kLabelWidth + width + 6) + "\" y=\"" + std::to_string(y + 14) +
               "\" font-size=\"12\" fill=\"#1d2330\">" + std::to_string(bar.count) + "</text>";
    }
    return out + "</svg></figure>";
}

std::string RenderOptions(const char* id, const char* label, const std::vector<std::string>& values) {
    std::string out =
        "<label>" + std::string(label) + " <select id=\"" + id + "\"><option value=\"\">all</option>";
    for (const std::string& value : values)
        out += "<option" + Attribute("value", value) + ">" + EscapeHtml(value) + "</option>";
    return out + "</select></label>";
}

// The filters offer what the rows hold: kinds and changes in the order met, processes sorted.
std::string RenderFilters(const HtmlPage& page) {
    std::vector<std::string> kinds, changes;
    std::set<std::string> processes;
    for (const HtmlSection& section : page.sections) {
        for (const HtmlRow& row : section.rows) {
            if (std::find(kinds.begin(), kinds.end(), row.kind) == kinds.end())
                kinds.push_back(row.kind);
            if (std::find(changes.begin(), changes.end(), row.change) == changes.end())
                changes.push_back(row.change);
            if (!row.process.empty())
                processes.insert(row.process);
        }
    }
    std::string out =
        "<form id=\"filters\" hidden><input type=\"search\" id=\"q\" placeholder=\"Search names and "
        "data\" aria-label=\"Search\">";
    out += RenderOptions("fk", "Kind", kinds);
    out += RenderOptions("fc", EscapeHtml(page.changeFilterName).c_str(), changes);
    out += RenderOptions("fp", "Process", std::vector<std::string>(processes.begin(), processes.end()));
    out += "<label><input type=\"checkbox\" id=\"fn\" checked> Show noise</label>";
    out += "<button type=\"button\" id=\"unfold\">Unfold all</button><button type=\"button\" "
           "id=\"fold\">Fold all</button></form>";
    return out + "<noscript><p>Scripts are off: every row is shown, and the search and filters do "
                 "nothing.</p></noscript>";
}

void RenderSection(std::string& out, const HtmlSection& section) {
    const std::string total = std::to_string(section.rows.size());
    out += "<section class=\"rows\"";
    if (section.noise)
        out += " data-noise";
    out += "><details class=\"section\"" + std::string(section.noise || section.rows.empty() ? "" : " open") +
           "><summary>" + EscapeHtml(section.title) + " <span class=\"count\">(<span class=\"shown\">" +
           total + "</span> of " + total + ")</span></summary>";
    if (section.rows.empty()) {
        out += "<p class=\"count\">(none)</p></details></section>\n";
        return;
    }
    // Rows go in tables of kRowsPerChunk, each skipped by layout and paint while off screen
    // (content-visibility): a page of 20,000 rows becomes usable in a tenth of the time it takes
    // laid out whole. The fixed table layout gives every chunk the same columns.
    out += "<div class=\"chunk\"><table><thead><tr>";
    for (const std::string& column : section.columns)
        out += "<th>" + EscapeHtml(column) + "</th>";
    out += "</tr></thead><tbody>\n";
    for (size_t i = 0; i < section.rows.size(); ++i) {
        if (i != 0 && i % kRowsPerChunk == 0)
            out += "</tbody></table></div><div class=\"chunk\"><table><tbody>\n";
        const HtmlRow& row = section.rows[i];
        out += "<tr" + Attribute("data-k", row.kind) + Attribute("data-c", row.change);
        if (!row.process.empty())
            out += Attribute("data-p", row.process);
        out += ">";
        for (const std::string& cell : row.cells)
            out += "<td>" + EscapeHtml(cell) + "</td>";
        out += "</tr>\n";
    }
    out += "</tbody></table></div></details></section>\n";
}

} // namespace

std::string EscapeHtml(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size() + 16);
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
                out += "\xEF\xBF\xBD";
            else
                out += c;
        }
    }
    return out;
}

std::string Abridged(const std::string& utf8, size_t limit) {
    size_t characters = 0, cut = utf8.size();
    for (size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80)
            continue;
        if (characters == limit)
            cut = i;
        ++characters;
    }
    if (characters <= limit)
        return utf8;
    return utf8.substr(0, cut) + "\xE2\x80\xA6 (" + std::to_string(characters) + " characters in all)";
}

std::string RenderHtmlPage(const HtmlPage& page) {
    const std::string script = kScript, style = kStyle;
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n";
    // No network, no other file, no script but the one below: the page carries everything itself.
    out += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src " +
           CspHashSource(script) + "; style-src " + CspHashSource(style) +
           "; img-src data:; base-uri 'none'; form-action 'none'\">\n";
    out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    out += "<title>" + EscapeHtml(page.title) + "</title>\n<style>" + style + "</style></head>\n<body>\n";
    out += "<h1>" + EscapeHtml(page.title) + "</h1>\n";
    if (!page.warnings.empty()) {
        out += "<div class=\"warnings\" role=\"alert\"><h2>" + EscapeHtml(page.warningTitle) + " (" +
               std::to_string(page.warnings.size()) + ")</h2><ul>";
        for (const std::string& warning : page.warnings)
            out += "<li>" + EscapeHtml(warning) + "</li>";
        out += "</ul></div>\n";
    }
    out += "<dl class=\"facts\">";
    for (const auto& fact : page.facts)
        out += "<dt>" + EscapeHtml(fact.first) + "</dt><dd>" + EscapeHtml(fact.second) + "</dd>";
    out += "</dl>\n<ul class=\"counts\">";
    for (const auto& count : page.counts)
        out += "<li" + Attribute("data-count", count.first) + ">" + EscapeHtml(count.first) + ": <b>" +
               std::to_string(count.second) + "</b></li>";
    out += "</ul>\n<div class=\"charts\">";
    for (const HtmlChart& chart : page.charts)
        out += RenderChart(chart);
    out += "</div>\n" + RenderFilters(page) + "\n";
    for (const HtmlSection& section : page.sections)
        RenderSection(out, section);
    out += "<script>" + script + "</script>\n</body></html>\n";
    return out;
}

} // namespace track
