#!/usr/bin/env python3
"""The HTML pages as a browser builds them, and the comparison of two captures.

Tracks the sample setup under Wine twice, version 1 and version 2 (`--v2`), each with --json and
--html; compares the two captures (text, --json, --html) and checks the exit codes; then opens the
pages in headless Chromium and checks, from the page the browser built: the rows and counts agree
with the JSON; the filters hide and show what they should; the inline script runs under the page's
Content-Security-Policy; a made-up capture with hostile names (orvane-html-fixture) shows them as
text and runs nothing of theirs.

    html_browser.py BIN_DIR WORK_DIR            the test (CTest html_browser)
    html_browser.py --bench BIN_DIR WORK_DIR    the page of 20,000 values: size and load time
    html_browser.py --screenshot BIN_DIR WORK_DIR DOCS_DIR
                                                the sample's page and the comparison's, as PNG
Environment: ORVANE_WINEPREFIX, ORVANE_WINE_LANE. Without Chromium it says so in one line and
exits 77, which CTest counts as skipped.
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp  # noqa: E402

SKIPPED = 77
mode = sys.argv[1] if sys.argv[1] in ("--bench", "--screenshot") else "--test"
bin_dir, work = (os.path.abspath(p) for p in (sys.argv[2:4] if mode != "--test" else sys.argv[1:3]))
lane = os.environ.get("ORVANE_WINE_LANE", "win64")
# The lane's loader, which runs 32-bit programs natively or emulated as the machine does.
loader = subprocess.run(["sh", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "loader.sh")],
                        capture_output=True, text=True, check=True).stdout.strip()
failures = []
passed = 0


def check(condition, message):
    global passed
    if condition:
        passed += 1
    else:
        failures.append(message)
        print("FAIL: " + message)


def win(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args, timeout=300):
    env = dict(os.environ, WINEPREFIX=os.environ["ORVANE_WINEPREFIX"], WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    return subprocess.run([loader] + list(args), env=env, timeout=timeout, capture_output=True)


def program(name):
    return win(os.path.join(bin_dir, name))


def out(name):
    return os.path.join(work, name)


def load(name):
    with open(out(name), encoding="utf-8") as f:
        return json.load(f)


def fixture(count):
    run = wine(program("orvane-html-fixture.exe"), win(out("fixture.html")), win(out("fixture.json")), str(count))
    if run.returncode != 0:
        sys.exit(f"orvane-html-fixture failed ({run.returncode}): {run.stderr[-400:]!r}")
    return out("fixture.html")


# What the page holds, read from the DOM: per section its title, shown count and rows (filter
# facts, cell texts, hidden or not).
PAGE_ROWS = """(() => Array.from(document.querySelectorAll('section.rows')).map(s => ({
  title: s.querySelector('summary').firstChild.textContent.trim(),
  hidden: s.hidden,
  shown: Number(s.querySelector('.shown').textContent),
  rows: Array.from(s.querySelectorAll('tbody > tr')).map(r => ({
    k: r.getAttribute('data-k'), c: r.getAttribute('data-c'), p: r.getAttribute('data-p'),
    hidden: r.hidden, cells: Array.from(r.cells).map(td => td.textContent)}))})))()"""

COUNTS = """Object.fromEntries(Array.from(document.querySelectorAll('ul.counts li')).map(
  li => [li.getAttribute('data-count'), Number(li.querySelector('b').textContent)]))"""


def set_filter(browser, element, value):
    """Sets a filter as a person would and waits until the page has applied it."""
    before = browser.evaluate("document.documentElement.getAttribute('data-filtered')")
    field = "checked" if element == "fn" else "value"
    event = "input" if element == "q" else "change"
    browser.evaluate("(() => { const e = document.getElementById(%s); e.%s = %s; e.dispatchEvent(new Event(%s)); })()"
                     % (json.dumps(element), field, json.dumps(value), json.dumps(event)))
    deadline = time.monotonic() + 30
    while browser.evaluate("document.documentElement.getAttribute('data-filtered')") == before:
        if time.monotonic() > deadline:
            raise cdp.CdpError(f"the filter {element} was not applied")
        browser.evaluate("new Promise(r => setTimeout(r, 20))")


def section(rows, title):
    return next(s for s in rows if s["title"] == title)


def visible(s):
    return [r for r in s["rows"] if not r["hidden"]]


def check_capture_page(browser, name, capture):
    browser.open("file://" + out(name + ".html"))
    check(browser.evaluate("document.documentElement.hasAttribute('data-ready')"),
          f"{name}: the page's script ran under its Content-Security-Policy")
    check(browser.evaluate("document.characterSet") == "UTF-8", f"{name}: the page is read as UTF-8")
    rows = browser.evaluate(PAGE_ROWS)
    counts = browser.evaluate(COUNTS)
    added = [r["cells"][0] for r in section(rows, "Files added")["rows"]]
    check(added == capture["files"], f"{name}: files added {added} are the JSON's {capture['files']}")
    values = section(rows, "Registry values")["rows"]
    check([r["cells"][0] for r in values] == [v["path"] for v in capture["registry"]],
          f"{name}: the registry rows are the JSON's values in its order")
    check([r["c"] for r in values] == [v["change"] for v in capture["registry"]],
          f"{name}: each value's change is the JSON's")
    check([r["cells"][1] for r in values] == [v["type"] for v in capture["registry"]],
          f"{name}: each value's type is the JSON's")
    check(counts.get("files added") == len(capture["files"]) and
          counts.get("keys created") == len(capture["keysCreated"]) and
          counts.get("values judged noise") == len(capture["eliminatedRegistry"]),
          f"{name}: the header's counts agree with the JSON: {counts}")
    noise = section(rows, "Registry values eliminated as noise")["rows"]
    check([r["cells"][0] for r in noise] == [v["path"] for v in capture["eliminatedRegistry"]],
          f"{name}: the noise rows are the JSON's, each with its reason")

    set_filter(browser, "fk", "value")
    rows = browser.evaluate(PAGE_ROWS)
    shown = [r for s in rows for r in visible(s)]
    check(all(r["k"] == "value" for r in shown) and
          len(shown) == len(capture["registry"]) + len(capture["eliminatedRegistry"]),
          f"{name}: the kind filter shows the values alone ({len(shown)} rows)")
    check(section(rows, "Files added")["shown"] == 0, f"{name}: the section counts follow the filter")
    set_filter(browser, "fn", False)
    rows = browser.evaluate(PAGE_ROWS)
    check(section(rows, "Registry values eliminated as noise")["hidden"], f"{name}: noise can be hidden")
    set_filter(browser, "fk", "")
    set_filter(browser, "fn", True)
    set_filter(browser, "q", "CATALOG")
    rows = browser.evaluate(PAGE_ROWS)
    shown = [r["cells"][0] for s in rows for r in visible(s)]
    check(len(shown) == 1 and shown[0].endswith("catalog.dat"), f"{name}: the search finds catalog.dat alone: {shown}")
    set_filter(browser, "q", "")
    rows = browser.evaluate(PAGE_ROWS)
    check(sum(len(visible(s)) for s in rows) == sum(len(s["rows"]) for s in rows),
          f"{name}: clearing the search shows every row again")


def check_hostile_page(browser):
    browser.open("file://" + out("fixture.html"))
    capture = load("fixture.json")
    check(browser.evaluate("document.documentElement.hasAttribute('data-ready')"),
          "fixture: the script ran under the page's policy")
    check(not any(e["method"] == "Page.javascriptDialogOpening" for e in browser.events),
          "fixture: nothing from the capture opened a dialog")
    check(browser.evaluate("document.scripts.length") == 1, "fixture: the page has its one script and no other")
    check(browser.evaluate("document.images.length") == 0, "fixture: a value's <img> data stayed text")
    rows = browser.evaluate(PAGE_ROWS)
    values = section(rows, "Registry values")["rows"]
    check(values[0]["cells"][0] == "HKLM\\Software\\Fixture\\<script>alert(1)</script>",
          f"fixture: a value named <script> shows as text: {values[0]['cells'][0]!r}")
    check(values[0]["cells"][2] == '"<img src=x onerror=alert(2)>"', "fixture: its data shows as text")
    check(browser.evaluate("document.title") == "Capture of \"C:\\Setups\\<b>setup</b> & co.exe\" /S",
          "fixture: the title keeps markup, ampersand and quotes as text")
    added = [r["cells"][0] for r in section(rows, "Files added")["rows"]]
    check(added == capture["files"] and "\u03a9\u65e5\u672c" in added[1] and "& \"Jerry\" 'quoted'" in added[0],
          f"fixture: names with quotes, & and characters beyond the ANSI code page are exact: {added}")
    check(values[1]["cells"][2].endswith("(5002 characters in all)") and len(values[1]["cells"][2]) < 300,
          "fixture: long data is shown in part, with its full length")
    check(values[2]["cells"][2].endswith("(4096 bytes)") and len(values[2]["cells"][2]) < 200,
          "fixture: binary data is shown in part, with its full length")
    warnings = browser.evaluate("Array.from(document.querySelectorAll('.warnings li')).map(li => li.textContent)")
    check(len(warnings) == 2 and "child64.exe" in warnings[0] and "Huge" in warnings[1],
          f"fixture: every capture gap and old-state gap is in the warning box: {warnings}")
    check(len(values) == len(capture["registry"]), "fixture: every value has its row")
    set_filter(browser, "fp", "helper.exe")
    rows = browser.evaluate(PAGE_ROWS)
    shown = visible(section(rows, "Registry values"))
    check(all(r["p"] == "helper.exe" for r in shown) and
          len(shown) == sum(1 for v in capture["registry"] if v["process"] == "helper.exe"),
          f"fixture: the process filter shows that process's values ({len(shown)})")
    set_filter(browser, "fp", "")
    set_filter(browser, "fc", "deleted")
    rows = browser.evaluate(PAGE_ROWS)
    shown = [r for s in rows for r in visible(s)]
    check(all(r["c"] == "deleted" for r in shown) and
          len(visible(section(rows, "Registry values"))) ==
          sum(1 for v in capture["registry"] if v["change"] == "deleted") and
          len(visible(section(rows, "Files removed"))) == 1,
          "fixture: the change filter shows deleted values, removed files and deleted keys alone")
    scripts_off = browser.evaluate("document.getElementById('filters').hidden")
    check(not scripts_off, "fixture: the filters show once the script runs")


def track_sample(name, *setup_args):
    run = wine(program("orvane-track.exe"), "--json", win(out(name + ".json")), "--html", win(out(name + ".html")),
               "--eliminated", "--", program("orvane-sample-setup.exe"), *setup_args)
    check(run.returncode == 0, f"{name}: orvane-track exit {run.returncode}: {run.stderr[-400:]!r}")
    # The sample goes again, so that the next run (and the suites after this one) find no trace of it.
    removed = wine(program("orvane-sample-setup.exe"), "--uninstall")
    check(removed.returncode == 0, f"{name}: the sample's uninstall failed: {removed.stderr[-400:]!r}")
    return load(name + ".json")


def fresh_wineserver():
    """Ends the prefix's wineserver, which the next program starts anew. A wineserver that has served
    watches of folders since removed can miss files made in a folder of the same name made again
    (a fault of Wine's), which version 2 does after version 1's uninstall. The prefix is this test's
    own, so nothing else runs on that wineserver."""
    if os.environ.get("ORVANE_OWN_PREFIX") != "1":
        return
    env = dict(os.environ, WINEPREFIX=os.environ["ORVANE_WINEPREFIX"])
    subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, capture_output=True)


def compare(*args):
    run = wine(program("orvane-track.exe"), "--compare", *args)
    return run.returncode, run.stdout.decode("utf-8", "replace").replace("\r\n", "\n"), \
        run.stderr.decode("utf-8", "replace").strip()


def check_comparison(browser):
    code, text, _ = compare(win(out("v1.json")), win(out("v2.json")), "--json", win(out("compare.json")),
                            "--html", win(out("compare.html")))
    print(text)
    check(code == 1, f"compare: two versions differ, exit {code}")
    result = load("compare.json")
    check([f["a"]["path"].endswith("templates.dat") for f in result["filesOnlyInA"]] == [True],
          "compare: templates.dat is only in version 1")
    check([f["b"]["path"].endswith("themes.dat") for f in result["filesOnlyInB"]] == [True],
          "compare: themes.dat is only in version 2")
    check(any(f["a"]["path"].endswith("catalog.dat") for f in result["filesDiffering"]),
          "compare: catalog.dat's size differs")
    check([v["b"]["path"].rsplit("\\", 1)[1] for v in result["valuesOnlyInB"]] == ["UpdateChannel"],
          "compare: UpdateChannel is new in version 2")
    check(sorted(v["a"]["path"].rsplit("\\", 1)[1] for v in result["valuesDiffering"]) ==
          ["Build", "Features", "Version"], "compare: Version, Build and Features differ")
    check("Summary: the captures differ" in text, "compare: the text ends in its summary")
    code, text, _ = compare(win(out("v1.json")), win(out("v1.json")))
    check(code == 0 and "Summary: the captures match" in text, f"compare: a capture matches itself, exit {code}")
    code, _, error = compare(win(out("v1.json")), win(out("v1.html")))
    check(code == 2 and "is not a capture" in error and "\n" not in error,
          f"compare: a page is refused with one line, exit {code}: {error!r}")
    browser.open("file://" + out("compare.html"))
    rows = browser.evaluate(PAGE_ROWS)
    for title, key in (("Files only in A", "filesOnlyInA"), ("Files only in B", "filesOnlyInB"),
                       ("Files that differ", "filesDiffering"), ("Registry values only in B", "valuesOnlyInB"),
                       ("Registry values that differ", "valuesDiffering")):
        check(len(section(rows, title)["rows"]) == len(result[key]), f"compare page: {title} has the JSON's rows")
    set_filter(browser, "fc", "differs")
    rows = browser.evaluate(PAGE_ROWS)
    check(sum(len(visible(s)) for s in rows) == len(result["filesDiffering"]) + len(result["valuesDiffering"]),
          "compare page: the difference filter shows what differs alone")


def benchmark(chromium, count=20000, rounds=3):
    page = fixture(count)
    size = os.path.getsize(page)
    ready, plain, filtered = [], [], []
    with cdp.Browser(chromium, timeout=120) as browser:
        for _ in range(rounds):
            browser.open("file://" + page)
            ready.append(float(browser.evaluate("document.documentElement.getAttribute('data-ready')")))
            start = browser.evaluate("performance.now()")
            set_filter(browser, "fk", "file")
            filtered.append(float(browser.evaluate("document.documentElement.getAttribute('data-filtered')")) - start)
        # The baseline: the same page with scripts off, to its load event. The timing is read with
        # scripts back on: it stays with the loaded page.
        for _ in range(rounds):
            browser.page("Emulation.setScriptExecutionDisabled", {"value": True})
            browser.open("file://" + page)
            browser.page("Emulation.setScriptExecutionDisabled", {"value": False})
            plain.append(browser.evaluate("performance.getEntriesByType('navigation')[0].loadEventEnd"))
    median = lambda xs: sorted(xs)[len(xs) // 2]  # noqa: E731
    bound = 3000
    print(f"html page of {count} values: {size} bytes ({size / 1048576:.1f} MiB)")
    print(f"  interactive (script done, from navigation start): median {median(ready):.0f} ms of {rounds} "
          f"({', '.join(f'{x:.0f}' for x in ready)}); bound {bound} ms: {'within' if median(ready) <= bound else 'OVER'}")
    print(f"  baseline, the same page with scripts off, to its load event: median {median(plain):.0f} ms")
    print(f"  one filter (kind = file) over every row: median {median(filtered):.0f} ms")


def screenshots(chromium, docs):
    track_sample("v1")
    track_sample("v2", "--v2")
    _, text, _ = compare(win(out("v1.json")), win(out("v2.json")), "--html", win(out("compare.html")))
    with open(out("compare.txt"), "w", encoding="utf-8") as f:
        f.write(text)
    print(text)
    os.makedirs(docs, exist_ok=True)
    with cdp.Browser(chromium) as browser:
        for page, png, height in (("v1.html", "html-report.png", 1500), ("compare.html", "html-compare.png", 1000)):
            browser.open("file://" + out(page))
            # Every section unfolded but the noise, as a reader would have it.
            browser.evaluate("document.querySelectorAll('section[data-noise] details').forEach(d => d.open = true)")
            browser.screenshot(os.path.join(docs, png), 1280, height)
            print("wrote " + os.path.join(docs, png))
    return 1 if failures else 0


def main():
    chromium = cdp.find_chromium()
    if not chromium:
        print("html_browser: skipped: chromium is not installed (scripts/setup-machine.sh installs it)")
        return SKIPPED
    os.makedirs(work, exist_ok=True)
    if mode == "--bench":
        benchmark(chromium)
        return 0
    if mode == "--screenshot":
        return screenshots(chromium, sys.argv[4])
    v1 = track_sample("v1")
    fresh_wineserver()
    track_sample("v2", "--v2")
    fixture(2000)
    with cdp.Browser(chromium) as browser:
        check_capture_page(browser, "v1", v1)
        check_hostile_page(browser)
        check_comparison(browser)
    print(f"html_browser: {passed} passed, {len(failures)} failed")
    return 1 if failures else 0


sys.exit(main())
