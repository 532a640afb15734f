#!/usr/bin/python3
"""The behaviour report as a person sees it: Chromium, headless, opens the
pages vetrona-sim wrote and the test reads the browser's DOM.

  report_browser_test.py VETRONA_SIM SOURCE_DIR [--screenshot PNG] [--keep DIR]
  report_browser_test.py --time PAGE.html...     size and drawing time of pages (no checks)

The headline scenario's page must show, against the run's own JSON lines: the
process tree's nodes and edges, the number of events per verdict, the denied
items and the backup rows (with the copy to restore and the copies of changed
bytes); with no script error and no message on the console (a
Content-Security-Policy refusal would be one). Printed to PDF, pdftotext must
find the badges' words and every section's rows. The dropper's page must show
each start in its creator's lane and a denied start as never run; the registry
page each value's type name, old and new data, the default value, a renamed
key and a multi-string's strings, as the JSON says. On a page of 10,000 events
the search box must find a file whose events are among the last, keep the
filter in the address, and export the rows it shows. The page of the
hostile-names scenario must have run nothing of what its names hold, made no
element of them, and show each name as its text, invisible characters as
their codes.

Exit status 0 when everything held, 1 otherwise; 77 (skipped) only when
VETRONA_NO_BROWSER=1 says there is no browser on purpose.
"""
import json
import re
import os
import subprocess
import sys
import tempfile
import time
import unicodedata

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


# Characters the page shows as their codes besides controls: format
# characters (Cf) and the other default-ignorable ones.
IGNORABLE = {0x034F, 0x115F, 0x1160, 0x17B4, 0x17B5, 0x3164, 0xFFA0} | set(range(0x180B, 0x1810)) | \
    set(range(0xFE00, 0xFE10)) | set(range(0x2060, 0x2070)) | set(range(0xFFF0, 0xFFF9)) | set(range(0xE0000, 0xE1000))


def visible(text):
    """A text as the page shows it: controls as \\xNN; line and paragraph
    separators, format and other default-ignorable characters as \\uNNNN."""
    out = []
    for c in text:
        o = ord(c)
        if o < 0x20 or 0x7f <= o <= 0x9f:
            out.append("\\x%02x" % o)
        elif o in (0x2028, 0x2029) or unicodedata.category(c) == "Cf" or o in IGNORABLE:
            out.append("\\u%04x" % o if o <= 0xffff else "\\u{%x}" % o)
        else:
            out.append(c)
    return "".join(out)


def base(path):
    return path[path.rfind("\\") + 1:]


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
    image_of = {}
    for r in records:
        if r.get("type") == "process":
            image_of[r["pid"]] = r["image"]
    creators = {}
    for e in events:
        if e["class"] == "process" and e["operation"] == "start":
            creators[e["seq"]] = (image_of.get(e["parent"]), e)
            if e["verdictName"] != "deny":
                image_of[e["pid"]] = e["path"]
    backups = [[str(b["seq"]), visible(b["original"]), visible(b["backup"] or "(not found)"), str(b["originalBytes"]), str(b["backupBytes"]),
                "yes" if b["exact"] is True else "NO" if b["exact"] is False else "not known"]
               for r in records for b in [r] if r.get("type") == "backup"]
    return {"edges": edges, "totals": totals, "all": len(events), "denied": denied, "backups": backups,
            "starts": creators, "events": events}


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
  registryCells: q('table.registry tbody tr').map((tr) => [Number(tr.dataset.seq)].concat(
    Array.from(tr.cells).map((c) => c.textContent))),
  registryItems: q('table.registry tbody tr').map((tr) => q('li.item').filter((li) => tr.contains(li)).map((li) => li.textContent)),
  allEvents: q('table.all-events tbody tr').map((tr) => [Number(tr.dataset.seq), tr.cells[2].textContent, tr.cells[5].textContent]),
  deniedProcess: q('table.denied tbody tr').map((tr) => tr.cells[2].textContent),
  treeText: q('ul.tree li.node > .proc').map((e) => e.textContent),
  holds: q('table.backups tbody tr').map((tr) => tr.cells[7].textContent),
  docTitle: document.title,
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


def check_print(driver, records, want, work):
    """The page printed: every part open, every row drawn, badges' words kept."""
    import base64
    pdf = os.path.join(work, "headline.pdf")
    with open(pdf, "wb") as out:
        out.write(base64.b64decode(driver.print_page()))
    ready = driver.execute_script("return document.documentElement.dataset.printReady === 'true'")
    check(ready, "print: the page did not make itself ready to print")
    text = subprocess.run(["pdftotext", pdf, "-"], capture_output=True, text=True, check=True).stdout
    flat = " ".join(text.split())
    # A cell wraps at separators, so a long name can span lines: names are looked for without spaces.
    packed = "".join(text.split())
    for word in ["allow", "backup", "restore this", "changed bytes", "PASSED"]:
        check(word in flat, "print: '%s' is not in the PDF" % word)
    for section in ["Process tree", "Denied", "Backups", "Files changed", "Registry changes", "All events in order",
                    "Timeline by process", "Summary", "Expectations"]:
        check(section in flat, "print: the section '%s' is not in the PDF" % section)
    # Every backup row and every event's row (by its operation and file) in the lanes and the table.
    for b in want["backups"]:
        check(b[2] in packed, "print: the copy %s is not in the PDF" % b[2])
    events = want["events"]
    for e in events:
        check(e["path"].replace(" ", "") in packed, "print: event %d's file is not in the PDF" % e["seq"])
    rows = len(re.findall(r"encrypt in place", flat))
    check(rows >= 1, "print: the ransomware's lane (step 'encrypt in place') is not in the PDF")
    check(flat.count("FileOpCloseModified") >= 2 * sum(1 for e in events if e["operation"] == "FileOpCloseModified") // 2,
          "print: rows are missing", flat.count("FileOpCloseModified"))
    print("headline printed: %d bytes of PDF, %d characters of text" % (os.path.getsize(pdf), len(text)))


def check_dropper(driver, records, path):
    """Each start in its creator's row; a denied start never ran."""
    want = expected_from(records)
    page, console, _ = open_page(driver, path)
    check(not console, "dropper: the console has messages", console)
    rows = {seq: (who, what) for seq, who, what in page["allEvents"]}
    for seq, (creator, e) in want["starts"].items():
        who, what = rows.get(seq, ("", ""))
        check(creator is not None and base(creator) in who, "dropper: start #%d is not in its creator's row" % seq,
              (who, creator))
        said = "started %s (pid %d)" % (base(e["path"]), e["pid"]) + (": denied, never ran" if e["verdictName"] == "deny" else "")
        check(what.startswith(said), "dropper: start #%d reads wrong" % seq, (what, said))
    denied = [e for _, (_, e) in want["starts"].items() if e["verdictName"] == "deny"]
    check(len(denied) == 1 and page["deniedProcess"] == ["wscript.exe (script)"], "dropper: the denied list's actor",
          page["deniedProcess"])
    payload = [t for t in page["treeText"] if t.startswith("payload.exe")]
    check(len(payload) == 1 and "pid" not in payload[0] and "never ran" in payload[0],
          "dropper: the denied start claims a running process", payload)


REG_TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ", 11: "REG_QWORD"}


def utf16_strings(hexdata):
    raw = bytes.fromhex(hexdata).decode("utf-16-le", errors="replace")
    return raw.split("\0")


def check_registry(driver, records, path):
    """Registry rows as the JSON says, as a person reads them."""
    want = expected_from(records)
    page, console, _ = open_page(driver, path)
    check(not console, "registry: the console has messages", console)
    cells = {row[0]: row[1:] for row in page["registryCells"]}
    items = {row[0]: it for row, it in zip(page["registryCells"], page["registryItems"])}
    last = {}
    for e in want["events"]:
        if e["class"] != "registry":
            continue
        row = cells.get(e["seq"])
        if not check(row is not None, "registry: event #%d has no row" % e["seq"]):
            continue
        _, proc, op, key, value, kind, data, verdict = row
        if e["operation"] == "RegOpKeyRenamed":
            check(key.endswith(" \u2192 " + e["value"]) and value == "", "registry: a rename reads wrong", (key, value))
            continue
        name_shown = e["value"] if "value" in e else "(Default)"
        if len(name_shown) > 200:
            name_shown = name_shown[:200] + "\u2026show all %s characters" % format(len(name_shown), ",")
        check(value == name_shown, "registry: value name of #%d" % e["seq"], (value[:300], e.get("value", "")[:300]))
        check(kind == REG_TYPES.get(e["dataType"], "type %d" % e["dataType"]), "registry: type of #%d" % e["seq"], kind)
        strings = utf16_strings(e["data"])
        name = (e["path"], e.get("value", ""))
        if e["dataType"] == 7:
            check(items[e["seq"]] == [t for t in strings if t], "registry: multi-string #%d" % e["seq"], (items[e["seq"]], strings))
        elif e["dataType"] in (1, 2):
            shown = "\\x00".join(t for t in strings if t)
            check(shown in data, "registry: string data of #%d (after its NUL too)" % e["seq"], (data, shown))
        if name in last:
            check(data.startswith(last[name] + " \u2192 "), "registry: old data of #%d" % e["seq"], (data, last[name]))
        if e["dataType"] == 4:
            last[name] = str(int.from_bytes(bytes.fromhex(e["data"]), "little")) + " (0x%08x)" % int.from_bytes(bytes.fromhex(e["data"]), "little")
    # A very long name is cut with a button that shows it all, and does not squeeze the other columns.
    long_name = "Long" + "x" * 4000
    cut = driver.execute_script("""
      const cell = Array.from(document.querySelectorAll('table.registry tbody tr')).map((tr) => tr.cells[4])
        .find((c) => c.textContent.startsWith('Longxxx'));
      const before = [cell.textContent.length, cell.getBoundingClientRect().height, cell.parentElement.cells[6].getBoundingClientRect().width];
      cell.querySelector('button.all').click();
      return before.concat([cell.textContent]);""")
    check(cut[0] < 300 and cut[1] < 200 and cut[2] > 80, "registry: a long name is not cut", cut[:3])
    check(cut[3] == long_name, "registry: 'show all' does not show the whole name", len(cut[3]))
    modes = [row for row in page["registryCells"] if row[5] == "Mode"]
    check(len(modes) == 1 and modes[0][7].startswith("safe \u2192 unsafe"), "registry: the machine's old data is not shown",
          modes)
    check("C:\\Users\\alice\\evil.exe" in page["text"], "registry: the data after a NUL is hidden")
    one = [it for it in page["registryItems"] if len(it) == 1]
    check(['a", "b'] in one and ["a", "b"] in page["registryItems"], "registry: one string and two read alike", page["registryItems"])


def check_search(driver, records, path):
    """The search finds a name among the last rows, keeps the filter in the address, exports what it shows."""
    from selenium.webdriver.common.by import By
    events = [r for r in records if r.get("type") == "event"]
    check(len(events) >= 10000, "search: the run has fewer events than meant", len(events))
    wanted = [e["seq"] for e in events if e.get("path", "").endswith("\\f999.txt")]
    check(wanted and max(wanted) >= events[-1]["seq"] - 10, "search: f999.txt is not among the last events", wanted[-3:])
    page, console, drawn = open_page(driver, path)
    check(not console, "search: the console has messages", console)
    box = driver.find_element(By.CSS_SELECTOR, "input[type=search]#filter-q")
    box.send_keys("f999.txt")
    shown = driver.execute_script("return Array.from(document.querySelectorAll('table.all-events tbody tr')).map((tr) => Number(tr.dataset.seq))")
    check(shown == wanted, "search: the rows found are not f999.txt's events", (shown[:5], wanted[:5]))
    check("q=f999.txt" in driver.current_url, "search: the filter is not in the address", driver.current_url)
    # The export of the rows shown: captured instead of downloaded.
    csv = driver.execute_script("""
      return document.querySelector('button.export-csv').exportText();""")
    check(csv.count("\r\n") == len(wanted) + 1 and "f999.txt" in csv, "search: the CSV is not the rows shown", csv[:200])
    # The view is shared by its address: the filter and verdict come back.
    driver.get(driver.current_url.split("#")[0] + "#q=f997&verdict=backup")
    for _ in range(100):
        if driver.execute_script("return document.documentElement.dataset.drawn === 'true'"):
            break
        time.sleep(0.05)
    backed = [e["seq"] for e in events if e.get("path", "").endswith("\\f997.txt") and e["verdictName"] == "backup"]
    shown = driver.execute_script("return Array.from(document.querySelectorAll('table.all-events tbody tr')).map((tr) => Number(tr.dataset.seq))")
    check(backed and shown == backed, "search: a shared address does not give its view", (shown, backed))
    check(driver.execute_script("return document.getElementById('filter-verdict').value") == "backup",
          "search: the verdict filter is not shown")
    print("10k page: %d bytes, drawn %s ms" % (os.path.getsize(path), page["drawnMs"]))


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
    hostile = play(sim, os.path.join(source, "tests/client/report/hostile-names.yaml"), hostile_page)
    dropper_page = os.path.join(work, "dropper.html")
    dropper = play(sim, os.path.join(source, "scenarios/dropper-tree.yaml"), dropper_page)
    registry_page = os.path.join(work, "registry.html")
    registry = play(sim, os.path.join(source, "tests/client/report/registry-reading.yaml"), registry_page)
    many_yaml, many_page = os.path.join(work, "many.yaml"), os.path.join(work, "many.html")
    with open(many_yaml, "w") as out:
        subprocess.run([sys.executable, os.path.join(source, "tests/client/report/many_events.py"), "3000"], stdout=out, check=True)
    many = play(sim, many_yaml, many_page)

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
        title = [r["title"] for r in headline if r.get("type") == "scenario"][0]
        check(page["docTitle"].startswith(title), "headline: the page's title does not name the scenario", page["docTitle"])
        # The copy to restore is the one word made; the ransomware's copies hold its bytes.
        holds = page["holds"]
        check(sum(h.startswith("restore this") for h in holds) == 5 and sum(h.startswith("changed bytes") for h in holds) == 5,
              "headline: which copies to restore", holds)
        if screenshot:
            driver.set_window_size(1280, 1400)
            driver.save_screenshot(screenshot)
        check_print(driver, headline, want, work)
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
        check(page["backups"] == want["backups"] and len(want["backups"]) == 3, "hostile: backup rows",
              (page["backups"], want["backups"]))
        # Names disguised by invisible characters show them as their codes, in the tree and the tables.
        check(any("sv\\u200bchost.exe" in t for t in page["treeText"]), "hostile: a zero-width space in the tree is not shown",
              page["treeText"])
        disguised = [e["path"] for e in want["events"] if "voice" in e.get("path", "")]
        check(disguised and visible(disguised[0]).endswith("in\\u00advoice\\u2060\\ufeff\\u061c\\u3164.txt")
              and visible(disguised[0]) in page["text"], "hostile: invisible characters in a file name are not shown escaped",
              disguised)
        for c in "\u200b\u00ad\u2060\ufeff\u061c\u3164":
            check(c not in page["text"] and c not in page["docTitle"], "hostile: U+%04X reached the text" % ord(c))

        check_dropper(driver, dropper, dropper_page)
        check_registry(driver, registry, registry_page)
        check_search(driver, many, many_page)
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
