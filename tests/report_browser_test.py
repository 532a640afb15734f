#!/usr/bin/python3
"""The behaviour report as a person sees it: Chromium, headless, opens the
pages vetrona-sim wrote and the test reads the browser's DOM.

  report_browser_test.py VETRONA_SIM SOURCE_DIR [--screenshot PNG] [--keep DIR]
  report_browser_test.py --time PAGE.html...     size and drawing time of pages (no checks)

The headline scenario's page must show, against the run's own JSON lines: the
process tree's nodes and edges, the number of events per verdict, the denied
items and the backup rows; with no script error and no message on the console
(a Content-Security-Policy refusal would be one). The page of the hostile-names
scenario must have run nothing of what its names hold, made no element of
them, and show each name as its text.

Exit status 0 when everything held, 1 otherwise; 77 (skipped) only when
VETRONA_NO_BROWSER=1 says there is no browser on purpose.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
VERDICTS = ["allow", "deny", "backup", "other"]

failures = []


def check(condition, what, detail=""):
    if not condition:
        failures.append(what + (": " + str(detail) if detail != "" else ""))
    return condition


def play(sim, scenario, page):
    """Runs a scenario with --json and --report; the run's JSON records."""
    run = subprocess.run([sim, "run", "--json", "--report", page, scenario], capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        sys.exit("vetrona-sim failed on %s (%d):\n%s%s" % (scenario, run.returncode, run.stdout, run.stderr))
    # Lines end at \n only: a name may hold U+2028, which splitlines() would cut at.
    return [json.loads(line) for line in run.stdout.split("\n") if line.strip()]


def visible(text):
    """A text as the page shows it: controls, line and paragraph separators and
    direction marks and overrides as \\xNN or \\uNNNN."""
    out = []
    for c in text:
        o = ord(c)
        if o < 0x20 or 0x7f <= o <= 0x9f:
            out.append("\\x%02x" % o)
        elif o in (0x200e, 0x200f, 0x2028, 0x2029) or 0x202a <= o <= 0x202e or 0x2066 <= o <= 0x2069:
            out.append("\\u%04x" % o)
        else:
            out.append(c)
    return "".join(out)


def expected_from(records):
    """What the page must show, worked out from the JSON lines alone."""
    events = [r for r in records if r.get("type") == "event"]
    pid_of_name = {}
    edges = set()
    for r in records:
        if r.get("type") == "process":
            edges.add((pid_of_name.get(r["parent"]) if r["parent"] else None, r["pid"]))
            pid_of_name[r["name"]] = r["pid"]
    for e in events:
        if e["class"] == "process" and e["operation"] == "start":
            edges.add((e["parent"], e["pid"]))
    totals = {v: 0 for v in VERDICTS}
    for e in events:
        totals[e["verdictName"] if e["verdictName"] in VERDICTS else "other"] += 1
    denied = [e["seq"] for e in events if e["verdictName"] == "deny"]
    backups = [[str(b["seq"]), visible(b["original"]), visible(b["backup"] or "(not found)"), str(b["originalBytes"]), str(b["backupBytes"]),
                "yes" if b["exact"] is True else "NO" if b["exact"] is False else "not known"]
               for r in records for b in [r] if r.get("type") == "backup"]
    return {"edges": edges, "totals": totals, "all": len(events), "denied": denied, "backups": backups}


READ_PAGE = """
const q = (s) => Array.from(document.querySelectorAll(s));
const nodes = q('ul.tree li.node').map((li) => {
  const up = li.parentElement.closest('li.node');
  return [up ? Number(up.dataset.pid) : null, Number(li.dataset.pid)];
});
const totals = {};
q('[data-verdict-total]').forEach((e) => { totals[e.dataset.verdictTotal] = Number(e.textContent); });
return {
  drawn: document.documentElement.dataset.drawn === 'true',
  drawnMs: document.documentElement.dataset.drawnMs,
  nodes: nodes,
  totals: totals,
  denied: q('table.denied tbody tr').map((tr) => Number(tr.dataset.seq)),
  deniedText: q('table.denied tbody tr').map((tr) => tr.textContent),
  backups: q('table.backups tbody tr').map((tr) => Array.from(tr.cells).slice(0, 6).map((c) => c.textContent)),
  title: q('section.run h2').map((h) => h.textContent),
  scripts: document.scripts.length,
  elements: q('img, iframe, object, embed, a, form, b').length,
  pwned: typeof window.__pwned,
  registry: q('table.registry tbody tr').map((tr) => tr.textContent),
  text: document.body.textContent,
};
"""


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    profile = tempfile.mkdtemp(prefix="vetrona-chromium-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,2000", "--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options), profile


def open_page(driver, path):
    started = time.monotonic()
    driver.get("file://" + path)
    for _ in range(200):
        if driver.execute_script("return document.documentElement.dataset.drawn === 'true'"):
            break
        time.sleep(0.05)
    drawn = time.monotonic() - started
    page = driver.execute_script(READ_PAGE)
    console = [entry for entry in driver.get_log("browser")]
    return page, console, drawn


def time_pages(pages):
    driver, profile = browser()
    try:
        for path in pages:
            runs = []
            for _ in range(3):
                page, console, waited = open_page(driver, os.path.abspath(path))
                runs.append(int(page["drawnMs"] or -1))
            print("%s: %d bytes, drawn %s ms after navigation began (3 loads), %d rows in the DOM, console: %d messages"
                  % (path, os.path.getsize(path), "/".join(map(str, runs)),
                     driver.execute_script("return document.querySelectorAll('tr').length"), len(console)))
    finally:
        driver.quit()
        subprocess.run(["rm", "-rf", profile])
    return 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--time":
        return time_pages(sys.argv[2:])
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sim, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    args = sys.argv[3:]
    screenshot = args[args.index("--screenshot") + 1] if "--screenshot" in args else None
    for need in (CHROMIUM, CHROMEDRIVER):
        if not os.path.exists(need):
            if os.environ.get("VETRONA_NO_BROWSER") == "1":
                print("skipped: no browser (VETRONA_NO_BROWSER=1)")
                return 77
            sys.exit("%s is missing: ./scripts/deps.sh installs chromium and chromium-driver" % need)

    work = args[args.index("--keep") + 1] if "--keep" in args else tempfile.mkdtemp(prefix="vetrona-report-")
    os.makedirs(work, exist_ok=True)
    headline_page = os.path.join(work, "headline.html")
    hostile_page = os.path.join(work, "hostile.html")
    headline = play(sim, os.path.join(source, "scenarios/ransomware-backup.yaml"), headline_page)
    hostile = play(sim, os.path.join(source, "tests/report/hostile-names.yaml"), hostile_page)

    driver, profile = browser()
    try:
        # The headline scenario, against its JSON lines.
        want = expected_from(headline)
        page, console, drawn = open_page(driver, headline_page)
        check(page["drawn"], "headline: the page's script did not finish")
        check(not console, "headline: the console has messages", console)
        check(set(map(tuple, page["nodes"])) == want["edges"], "headline: process tree",
              (sorted(map(tuple, page["nodes"]), key=str), sorted(want["edges"], key=str)))
        check(len(page["nodes"]) == len(want["edges"]), "headline: a process shown twice", page["nodes"])
        check(page["totals"] == dict(want["totals"], all=want["all"]), "headline: events per verdict",
              (page["totals"], want["totals"]))
        check(page["denied"] == want["denied"], "headline: denied items", (page["denied"], want["denied"]))
        check(page["backups"] == want["backups"], "headline: backup rows", (page["backups"], want["backups"]))
        check(len(want["backups"]) == 10, "headline: the run made other copies than expected", want["backups"])
        if screenshot:
            driver.set_window_size(1280, 1400)
            driver.save_screenshot(screenshot)
        size = os.path.getsize(headline_page)
        print("headline report: %d bytes, %d events, drawn %s ms after navigation began (%.0f ms as the test waited)"
              % (size, want["all"], page["drawnMs"], drawn * 1000))

        # Hostile names: shown as text, never run, never markup.
        want = expected_from(hostile)
        page, console, _ = open_page(driver, hostile_page)
        check(page["drawn"], "hostile: the page's script did not finish")
        check(not console, "hostile: the console has messages", console)
        check(page["pwned"] == "undefined", "hostile: a script from the data ran", page["pwned"])
        check(page["scripts"] == 2, "hostile: the data made a script element", page["scripts"])
        check(page["elements"] == 0, "hostile: the data made elements", page["elements"])
        title = [r["title"] for r in hostile if r.get("type") == "scenario"][0]
        check(page["title"] == [title], "hostile: the title is not its text", (page["title"], title))
        check(page["denied"] == want["denied"] and len(want["denied"]) == 2, "hostile: denied items",
              (page["denied"], want["denied"]))
        check(any("<script>window.__pwned=4</script>" in row for row in page["deniedText"]),
              "hostile: the value name is not shown as its text", page["deniedText"])
        check(any("</script><img src=x onerror=window.__pwned=5>\\x07" in row for row in page["registry"]),
              "hostile: the value data is not shown as its text (control shown as \\x07)", page["registry"])
        check("\\x01\\x1b[31m\\u2028\\u202e" in page["text"],
              "hostile: controls and direction overrides are not shown escaped")
        check("\u202e" not in page["text"] and "\u2028" not in page["text"],
              "hostile: a direction override or line separator reached the text")
        check("half \ufffd surrogate \\x00 nul" in page["text"], "hostile: the lone surrogate is not U+FFFD")
        check(page["backups"] == want["backups"] and len(want["backups"]) == 1, "hostile: backup rows",
              (page["backups"], want["backups"]))
    finally:
        driver.quit()
        subprocess.run(["rm", "-rf", profile])
        if "--keep" not in args:
            subprocess.run(["rm", "-rf", work])

    for failure in failures:
        print("FAIL " + failure)
    print("report in chromium: %d checks failed" % len(failures) if failures else "report in chromium: ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
