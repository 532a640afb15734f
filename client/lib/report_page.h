// The behaviour report's own style and script, placed in the page as they
// are (the page's Content-Security-Policy admits exactly these two by their
// SHA-256). The script reads the JSON in #report-data and builds the page
// with createElement and text nodes only: nothing from the data is ever
// parsed as markup, set as a URL or run. Characters that would hide or
// disguise text (controls, line and paragraph separators, format and other
// default-ignorable characters) are shown as \xNN or \uNNNN.
#pragma once

namespace vetrona::client {

inline constexpr const char* kReportStyle = R"css(
:root { --fg: #1d2330; --muted: #5d6575; --line: #d9dde5; --bg: #ffffff; --soft: #f4f6f9;
        --allow: #2f7d32; --deny: #b3261e; --backup: #1f5fae; --other: #6d5d00; --alert: #8a3ab9; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif;
       color: var(--fg); background: var(--bg); }
main { max-width: 1280px; margin: 0 auto; padding: 16px 24px 48px; }
h1 { font-size: 22px; margin: 8px 0 4px; }
h2 { font-size: 18px; margin: 28px 0 4px; padding-top: 12px; border-top: 2px solid var(--line); }
h3 { font-size: 15px; margin: 20px 0 6px; }
.muted, .meta { color: var(--muted); }
.meta div, .detail div { margin: 0; }
.notice { background: #fff7e0; border: 1px solid #e8d18a; padding: 6px 10px; border-radius: 4px; }
.mono, td.path, .cmd, .detail { font-family: ui-monospace, "DejaVu Sans Mono", Consolas, monospace; font-size: 12.5px; }
.verdict { display: inline-block; padding: 0 6px; border-radius: 3px; font-size: 12px; font-weight: 600;
           color: #fff; margin-left: 4px; border: 1px solid transparent; }
.v-allow { background: var(--allow); } .v-deny { background: var(--deny); }
.v-backup { background: var(--backup); } .v-other { background: var(--other); }
.v-alert { background: var(--alert); } .v-restore { background: var(--allow); } .v-changed { background: var(--deny); }
.totals .count { font-weight: 700; }
.totals .verdict { margin-left: 10px; }
.passed { color: var(--allow); font-weight: 700; } .failed { color: var(--deny); font-weight: 700; }
ul.tree, ul.tree ul { list-style: none; margin: 0; padding-left: 22px; }
ul.tree { padding-left: 0; }
ul.tree li { position: relative; margin: 4px 0; }
ul.tree ul li::before { content: ""; position: absolute; left: -14px; top: 0; height: 14px; width: 10px;
                        border-left: 1px solid var(--muted); border-bottom: 1px solid var(--muted); }
.proc { display: inline-block; padding: 3px 8px; border: 1px solid var(--line); border-radius: 4px; background: var(--soft); }
li.denied-start > .proc { border-color: var(--deny); background: #fdeceb; }
.proc .image { font-weight: 700; }
.proc .pid, .proc .name, .proc .user { color: var(--muted); margin-left: 6px; }
.detail { color: var(--muted); margin: 2px 0 0 10px; overflow-wrap: break-word; }
table { border-collapse: collapse; width: 100%; margin: 4px 0; }
th, td { text-align: left; vertical-align: top; padding: 3px 8px; border-bottom: 1px solid var(--line); }
th { background: var(--soft); font-weight: 600; white-space: nowrap; }
th button.sort { font: inherit; background: none; border: 0; padding: 0; cursor: pointer; color: inherit; }
th button.sort::after { content: " \2195"; color: var(--muted); }
th[aria-sort="ascending"] button.sort::after { content: " \2191"; color: var(--fg); }
th[aria-sort="descending"] button.sort::after { content: " \2193"; color: var(--fg); }
td { overflow-wrap: break-word; word-break: normal; }
td.num, th.num, td.time { text-align: right; white-space: nowrap; }
td.time { text-align: left; }
tr.row-deny td { background: #fdf3f2; }
tr.row-changed td { background: #fdf3f2; }
tr.row-restore td { background: #eef7ee; }
tr.step-head td { background: #eef2f8; color: var(--muted); font-style: italic; padding-top: 6px; }
ol.items { margin: 0; padding-left: 22px; }
details.lane { margin: 6px 0; border: 1px solid var(--line); border-radius: 4px; }
details.lane > summary { cursor: pointer; padding: 4px 8px; background: var(--soft); }
details.lane > div { padding: 0 8px 6px; }
button.more, button.all { margin: 4px 0; }
button.all { margin-left: 6px; font-size: 12px; }
details.part > summary { cursor: pointer; list-style-position: outside; }
details.part > summary h3 { display: inline-block; margin: 16px 0 6px; }
.repeat { color: var(--muted); font-weight: 600; }
.filters { position: sticky; top: 0; z-index: 2; background: var(--bg); border-bottom: 1px solid var(--line);
           padding: 8px 0; display: flex; flex-wrap: wrap; gap: 6px 12px; align-items: center; }
.filters label { color: var(--muted); font-size: 13px; }
.filters input[type=search] { width: 22em; }
.filters input.small { width: 9em; }
.matches { font-weight: 600; }
.export { margin-left: 8px; }
:focus-visible { outline: 2px solid var(--backup); outline-offset: 1px; }
@media print {
  body { font-size: 11px; }
  main { max-width: none; padding: 0; }
  .filters, button, .export { display: none !important; }
  .verdict { color: #000 !important; background: none !important; border: 1px solid #000; }
  tr.row-deny td, tr.row-changed td, tr.row-restore td, th { background: none !important; }
  details > summary { list-style: none; }
  tr, li { break-inside: avoid; }
  h2 { break-before: page; }
  section.run:first-of-type h2 { break-before: auto; }
}
)css";

inline constexpr const char* kReportScript = R"js(
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var root = document.getElementById('report');
  var PAGE = 200;        // rows drawn at a time
  var CUT = 200;         // characters of a field shown before "show all"
  var VERDICTS = ['allow', 'deny', 'backup', 'other'];
  var printing = false;  // set once the page is made ready to print: everything drawn, everything open
  var tables = [];       // every paged table, to draw all of it for print
  var lanesToDraw = [];

  // Controls, line and paragraph separators, format characters and the
  // other default-ignorable ones (fillers, variation selectors, tags).
  var DISGUISING = /[\u0000-\u001f\u007f-\u009f\u2028\u2029\u115f\u1160\u3164\uffa0\p{Cf}\p{Default_Ignorable_Code_Point}]/gu;
  function visible(s) {
    return String(s).replace(DISGUISING, function (c) {
      var code = c.codePointAt(0);
      var hex = code.toString(16);
      if (code < 0x20 || (code >= 0x7f && code <= 0x9f)) return '\\x' + ('0' + hex).slice(-2);
      return code > 0xffff ? '\\u{' + hex + '}' : '\\u' + ('000' + hex).slice(-4);
    });
  }
  function add(parent, child) {
    if (child === undefined || child === null || child === false) return;
    if (Array.isArray(child)) { child.forEach(function (c) { add(parent, c); }); return; }
    if (typeof child === 'object' && child.nodeType) { parent.appendChild(child); return; }
    parent.appendChild(document.createTextNode(visible(child)));
  }
  function h(tag, attrs) {
    var e = document.createElement(tag);
    if (attrs) {
      Object.keys(attrs).forEach(function (k) {
        if (attrs[k] !== undefined && attrs[k] !== null) e.setAttribute(k, String(attrs[k]));
      });
    }
    for (var i = 2; i < arguments.length; i++) add(e, arguments[i]);
    return e;
  }
  function bucket(v) { return VERDICTS.indexOf(v) >= 0 ? v : 'other'; }
  function badge(v, text) { return h('span', { 'class': 'verdict v-' + v }, text === undefined ? v : text); }
  function base(path) { var s = String(path || ''); var i = s.lastIndexOf('\\'); return i >= 0 ? s.slice(i + 1) : s; }
  function clock(t) { return t ? String(t).replace(/^.*T/, '').replace('Z', '') : ''; }
  function ruleText(r) { return typeof r === 'number' ? 'rule ' + r : (r === 'default' ? 'default' : (r ? String(r) : '')); }
  function num(n) { return Number(n).toLocaleString('en-US'); }

  function counts(c) {
    var out = [];
    VERDICTS.forEach(function (v) { if (c && c[v]) out.push(badge(v, v + ' ' + c[v])); });
    return out;
  }

  // A long text: words break at separators (a backslash, a dot, a slash, a
  // colon), never inside a word; past CUT characters it is cut, with a
  // button that shows the rest.
  function wrapped(text) {
    var s = visible(text === undefined || text === null ? '' : text);
    var frag = document.createDocumentFragment();
    function fill(into, t) {
      var parts = t.split(/(?<=[\\\/.:;,_=\-])/);
      parts.forEach(function (p, i) {
        into.appendChild(document.createTextNode(p));
        if (i + 1 < parts.length) into.appendChild(document.createElement('wbr'));
      });
    }
    if (s.length <= CUT || printing) { fill(frag, s); return frag; }
    var span = h('span', { 'class': 'cut' });
    fill(span, s.slice(0, CUT));
    var more = h('button', { type: 'button', 'class': 'all' }, 'show all ' + num(s.length) + ' characters');
    var dots = document.createTextNode('\u2026');
    more.addEventListener('click', function () {
      while (span.firstChild) span.removeChild(span.firstChild);
      fill(span, s);
      dots.parentNode.removeChild(dots);
      more.parentNode.removeChild(more);
    });
    frag.appendChild(span);
    frag.appendChild(dots);
    frag.appendChild(more);
    return frag;
  }
  function td(text, cls) { return h('td', cls ? { 'class': cls } : null, text); }
  function tdWrapped(text, cls) { var c = h('td', cls ? { 'class': cls } : null); c.appendChild(wrapped(text)); return c; }

  // A table that draws PAGE rows at a time and sorts by a column when its
  // heading's button is pressed. columns: {label, key(row) for sorting, num}.
  function pagedTable(cls, columns, rows, rowFn) {
    var body = h('tbody');
    var heads = columns.map(function (c) {
      var th = h('th', c.num ? { 'class': 'num', scope: 'col' } : { scope: 'col' });
      if (c.key) {
        var b = h('button', { type: 'button', 'class': 'sort', title: 'sort by ' + c.label }, c.label);
        b.addEventListener('click', function () { sortBy(c, th); });
        th.appendChild(b);
      } else {
        add(th, c.label);
      }
      return th;
    });
    var table = h('table', { 'class': cls }, h('thead', null, h('tr', null, heads)), body);
    var wrap = h('div', { 'class': 'table-wrap' }, table);
    var shown = 0;
    var list = rows.slice();
    var more = h('button', { type: 'button', 'class': 'more' });
    function next(all) {
      var end = all ? list.length : Math.min(list.length, shown + PAGE);
      for (; shown < end; shown++) body.appendChild(rowFn(list[shown], shown));
      if (shown < list.length) {
        more.textContent = 'show ' + Math.min(PAGE, list.length - shown) + ' more (' + num(list.length - shown) + ' left)';
        if (!more.parentNode) wrap.appendChild(more);
      } else if (more.parentNode) {
        more.parentNode.removeChild(more);
      }
    }
    function redraw() {
      while (body.firstChild) body.removeChild(body.firstChild);
      shown = 0;
      next(printing);
    }
    function sortBy(c, th) {
      var down = th.getAttribute('aria-sort') === 'ascending';
      heads.forEach(function (x) { x.removeAttribute('aria-sort'); });
      th.setAttribute('aria-sort', down ? 'descending' : 'ascending');
      var keyed = list.map(function (r, i) { return { r: r, k: c.key(r), i: i }; });
      keyed.sort(function (a, b) {
        var x = a.k, y = b.k, d;
        if (typeof x === 'number' && typeof y === 'number') d = x - y;
        else d = String(x === undefined || x === null ? '' : x).localeCompare(String(y === undefined || y === null ? '' : y));
        return (down ? -d : d) || a.i - b.i;
      });
      list = keyed.map(function (x) { return x.r; });
      redraw();
    }
    more.addEventListener('click', function () { next(false); });
    next(printing);
    var api = { all: function () { next(true); }, setRows: function (r) { list = r.slice(); heads.forEach(function (x) { x.removeAttribute('aria-sort'); }); redraw(); } };
    tables.push(api);
    wrap.table = api;
    return wrap;
  }

  function procLabel(run, key) {
    var p = run.processes[key];
    if (!p) return '';
    return (base(p.image) || 'pid ' + p.pid) + (p.name ? ' (' + p.name + ')' : '');
  }
  function stepText(run, step) {
    if (!step) return '';
    var s = run.steps[String(step)];
    return 'step ' + step + (s && s.what ? ': ' + s.what : '');
  }

  // What an event did, to what, in words.
  function target(run, e) {
    if (e.cls === 'process' && e.op === 'start') {
      var t0 = 'started ' + (base(e.path) || 'a process') + ' (pid ' + e.pid + ')';
      if (e.verdict === 'deny') t0 += ': denied, never ran';
      t0 += '  ' + (e.path || '');
      if (e.commandLine) t0 += '  [' + e.commandLine + ']';
      return t0;
    }
    var t = e.path || '';
    if (e.newName !== undefined) t += ' \u2192 ' + e.newName;
    if (e.dest) t += ' \u2192 ' + e.dest;
    if (e.defaultValue) t += ' : (Default)';
    else if (e.value !== undefined) t += ' : ' + e.value;
    if (e.data !== undefined) t += ' = ' + (e.old !== undefined ? e.old + ' \u2192 ' : '') + e.data;
    if (e.commandLine) t += '  [' + e.commandLine + ']';
    if (e.error) t += '(malformed: ' + e.error + ')';
    return t;
  }
  function alertBadges(e) {
    if (!Array.isArray(e.alerts)) return null;
    return e.alerts.map(function (a) {
      var title = a && typeof a === 'object' ? (a.title || a.id || 'alert') : String(a);
      return [' ', badge('alert', 'alert: ' + title + (a && a.level ? ' (' + a.level + ')' : ''))];
    });
  }
  function alertText(e) {
    if (!Array.isArray(e.alerts)) return '';
    return e.alerts.map(function (a) {
      return a && typeof a === 'object' ? [a.title, a.id, a.level, a.author].filter(Boolean).join(' ') : String(a);
    }).join(' ');
  }

  function moment(m) {
    if (!m) return '';
    var parts = [];
    if (m.seq !== undefined && m.seq !== null) parts.push('#' + m.seq);
    if (m.time) parts.push(clock(m.time));
    if (m.step) parts.push('step ' + m.step);
    return parts.join(', ');
  }
  function userText(p) {
    if (!p.user && p.admin === undefined) return '';
    return 'as ' + (p.user || 'a user not known') + (p.admin === true ? ', elevated' : p.admin === false ? ', not elevated' : '');
  }

  function drawTree(run) {
    var children = {};
    var roots = [];
    run.processes.forEach(function (p) {
      if (p.parent >= 0 && run.processes[p.parent]) (children[p.parent] = children[p.parent] || []).push(p);
      else roots.push(p);
    });
    function node(p) {
      var denied = p.startVerdict === 'deny';
      var li = h('li', { 'class': 'node' + (denied ? ' denied-start' : ''), 'data-key': p.key, 'data-pid': p.pid });
      li.appendChild(h('div', { 'class': 'proc' },
        h('span', { 'class': 'image' }, base(p.image) || '(image not known)'),
        denied ? null : h('span', { 'class': 'pid' }, 'pid ' + p.pid),
        p.name ? h('span', { 'class': 'name' }, p.name) : null,
        userText(p) ? h('span', { 'class': 'user' }, userText(p)) : null,
        denied ? badge('deny', 'start denied: never ran') : null,
        counts(p.counts)));
      var lines = [];
      if (p.image) lines.push(p.image);
      if (p.commandLine) lines.push('command line: ' + p.commandLine);
      var creator = run.processes[p.parent];
      if (denied) {
        lines.push('start denied ' + moment(p.start) + (p.startRule !== undefined ? ' (' + ruleText(p.startRule) + ')' : '') +
          (creator ? ', asked by ' + procLabel(run, p.parent) : '') + ': no process ran');
      } else if (p.start) {
        lines.push('started ' + moment(p.start) + (p.startVerdict ? ' (' + p.startVerdict + ')' : '') +
          (creator ? ' by ' + procLabel(run, p.parent) : ''));
      } else if (p.machine) {
        lines.push('running when the run began');
      }
      if (p.exit) lines.push('exited ' + moment(p.exit));
      li.appendChild(h('div', { 'class': 'detail' }, lines.map(function (l) { var d = h('div'); d.appendChild(wrapped(l)); return d; })));
      var kids = children[p.key];
      if (kids) li.appendChild(h('ul', null, kids.map(node)));
      return li;
    }
    return h('ul', { 'class': 'tree' }, roots.map(node));
  }

  function collapse(list) {
    var out = [];
    list.forEach(function (e) {
      var key = [e.cls, e.op, e.path, e.dest || '', e.value === undefined ? '' : e.value, e.data || '', e.verdict,
                 String(e.rule), e.child === undefined ? '' : e.child, e.alerts ? e.seq : ''].join('\u0000');
      var last = out[out.length - 1];
      if (last && last.key === key) { last.n++; last.last = e; } else out.push({ key: key, n: 1, first: e, last: e });
    });
    return out;
  }

  function drawLanes(run) {
    var byProcess = {};
    run.events.forEach(function (e) { (byProcess[e.proc] = byProcess[e.proc] || []).push(e); });
    var openAll = run.events.length <= 400;
    var lanes = h('div', { 'class': 'lanes' });
    run.processes.forEach(function (p) {
      var list = byProcess[p.key];
      if (!list) return;
      var groups = collapse(list);
      var lane = h('details', { 'class': 'lane', 'data-key': p.key });
      lane.appendChild(h('summary', null, procLabel(run, p.key) + (p.startVerdict === 'deny' ? '' : ', pid ' + p.pid) + ': ' +
        list.length + (list.length < p.events ? ' of ' + p.events : '') + (p.events === 1 ? ' event' : ' events') +
        (groups.length < list.length ? ' in ' + groups.length + ' rows (repeats collapsed)' : ''), counts(p.counts)));
      var drawn = false;
      function draw() {
        if (drawn) return;
        drawn = true;
        var lastStep;  // undefined: no row yet, so the first row gets its heading
        var hasSteps = Object.keys(run.steps).length > 0;
        lane.appendChild(h('div', null, pagedTable('timeline', [{ label: 'seq', num: true }, { label: 'time' },
          { label: 'operation' }, { label: 'target' }, { label: 'verdict' }, { label: 'times', num: true }],
          groups, function (g) {
            var e = g.first;
            var row = h('tr', { 'class': 'event row-' + bucket(e.verdict), 'data-seq': e.seq },
              td(g.n > 1 ? e.seq + '\u2013' + g.last.seq : e.seq, 'num'), td(clock(e.time), 'time'),
              tdWrapped(e.op), tdWrapped(target(run, e), 'path'),
              h('td', null, badge(bucket(e.verdict), e.verdictName), ' ', ruleText(e.rule), alertBadges(e)),
              td(g.n > 1 ? '\u00d7' + g.n : '', 'num repeat'));
            var step = e.step || null;  // null: outside the workload's steps
            if (!hasSteps || step === lastStep) return row;
            lastStep = step;
            var frag = document.createDocumentFragment();
            var text = step ? stepText(run, step) : 'outside the workload\'s steps';
            if (g.last.step && g.last.step !== step) text += ' (this row runs to step ' + g.last.step + ')';
            frag.appendChild(h('tr', { 'class': 'step-head' }, h('td', { colspan: 6 }, text)));
            frag.appendChild(row);
            return frag;
          })));
      }
      lanesToDraw.push(function () { draw(); lane.setAttribute('open', ''); });
      if (openAll || printing) { lane.setAttribute('open', ''); draw(); }
      lane.addEventListener('toggle', function () { if (lane.open) draw(); });
      lanes.appendChild(lane);
    });
    return lanes;
  }

  // A part of a run's section under its heading; a long one starts folded.
  function part(title, count, body, extra) {
    var d = h('details', { 'class': 'part' }, h('summary', null, h('h3', null, title), extra || null), body);
    if (count <= 50) d.setAttribute('open', '');
    return d;
  }

  var EVENT_COLUMNS = function (run) {
    return [{ label: 'seq', num: true, key: function (e) { return e.seq; } },
            { label: 'time', key: function (e) { return e.time || ''; } },
            { label: 'process', key: function (e) { return procLabel(run, e.proc); } },
            { label: 'step', key: function (e) { return e.step || 0; } },
            { label: 'operation', key: function (e) { return e.op; } },
            { label: 'target', key: function (e) { return target(run, e); } },
            { label: 'verdict', key: function (e) { return e.verdictName + ' ' + ruleText(e.rule); } }];
  };
  function eventRow(run, e) {
    return h('tr', { 'class': 'event row-' + bucket(e.verdict), 'data-seq': e.seq },
      td(e.seq, 'num'), td(clock(e.time), 'time'), tdWrapped(procLabel(run, e.proc)), tdWrapped(stepText(run, e.step)),
      tdWrapped(e.op), tdWrapped(target(run, e), 'path'),
      h('td', null, badge(bucket(e.verdict), e.verdictName), ' ', ruleText(e.rule), alertBadges(e)));
  }
  function eventRows(run, cls, rows) {
    return pagedTable(cls, EVENT_COLUMNS(run), rows, function (e) { return eventRow(run, e); });
  }

  // --- filter ----------------------------------------------------------------
  var FIELDS = ['q', 'process', 'class', 'operation', 'verdict', 'rule'];
  var filter = {};
  function readHash() {
    var params = new URLSearchParams(String(location.hash || '').replace(/^#/, ''));
    FIELDS.forEach(function (f) { filter[f] = params.get(f) || ''; });
  }
  function writeHash() {
    var params = new URLSearchParams();
    FIELDS.forEach(function (f) { if (filter[f]) params.set(f, filter[f]); });
    var text = params.toString();
    try { history.replaceState(null, '', text ? '#' + text : location.pathname + location.search); } catch (err) { /* a page without history */ }
  }
  function hay(run, e) {
    if (e._hay === undefined) {
      e._hay = [e.seq, e.op, e.cls, e.path, e.dest, e.value, e.newName, e.defaultValue ? '(Default)' : '', e.data, e.old,
                e.typeName, e.commandLine, procLabel(run, e.proc), e.child !== undefined ? procLabel(run, e.child) : '',
                e.verdictName, ruleText(e.rule), alertText(e), stepText(run, e.step)]
        .filter(function (x) { return x !== undefined && x !== null && x !== ''; }).join('\n').toLowerCase();
    }
    return e._hay;
  }
  function matches(run, e) {
    if (filter.q && hay(run, e).indexOf(filter.q.toLowerCase()) < 0) return false;
    if (filter.process) {
      var p = run.processes[e.proc];
      var who = (procLabel(run, e.proc) + ' pid ' + (p ? p.pid : '') + ' ' + (p ? p.image : '')).toLowerCase();
      if (who.indexOf(filter.process.toLowerCase()) < 0 && String(p ? p.pid : '') !== filter.process) return false;
    }
    if (filter['class'] && e.cls !== filter['class']) return false;
    if (filter.operation && String(e.op).toLowerCase().indexOf(filter.operation.toLowerCase()) < 0) return false;
    if (filter.verdict && bucket(e.verdict) !== filter.verdict && !(filter.verdict === 'alert' && e.alerts && e.alerts.length)) return false;
    if (filter.rule) {
      var r = (ruleText(e.rule) + ' ' + alertText(e)).toLowerCase();
      if (String(e.rule) !== filter.rule && r.indexOf(filter.rule.toLowerCase()) < 0) return false;
    }
    return true;
  }
  function active() { return FIELDS.some(function (f) { return filter[f]; }); }
  var views = [];  // per run: function that applies the filter and returns [matching, total]

  function csvCell(v) {
    var s = v === undefined || v === null ? '' : String(v);
    if (/^[=+\-@\t\r]/.test(s)) s = '\'' + s;  // a spreadsheet must not read a name as a formula
    return /[",\n\r]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }
  function exportRows(run, rows, kind) {
    var clean = rows.map(function (e) {
      var o = {};
      Object.keys(e).forEach(function (k) { if (k.charAt(0) !== '_') o[k] = e[k]; });
      o.process = procLabel(run, e.proc);
      return o;
    });
    if (kind === 'json') return JSON.stringify(clean, null, 1);
    var cols = ['seq', 'time', 'process', 'pid', 'cls', 'op', 'path', 'dest', 'value', 'newName', 'typeName', 'old', 'data',
                'commandLine', 'verdictName', 'rule', 'step'];
    var lines = [cols.join(',')];
    clean.forEach(function (o) { lines.push(cols.map(function (c) { return csvCell(o[c]); }).join(',')); });
    return lines.join('\r\n') + '\r\n';
  }
  function download(text, name, type) {
    var link = document.createElement('a');
    link.download = name;
    link.href = URL.createObjectURL(new Blob([text], { type: type }));
    link.click();  // never placed in the document
  }

  function drawFilters() {
    var bar = h('div', { 'class': 'filters', role: 'search' });
    var inputs = {};
    function field(name, label, el) {
      inputs[name] = el;
      el.id = 'filter-' + name;
      el.value = filter[name];
      el.addEventListener('input', function () { filter[name] = el.value; writeHash(); apply(); });
      bar.appendChild(h('label', { 'for': el.id }, label));
      bar.appendChild(el);
    }
    function select(options) {
      var s = h('select');
      options.forEach(function (o) { s.appendChild(h('option', { value: o[0] }, o[1])); });
      return s;
    }
    var classes = {}, ops = {};
    data.runs.forEach(function (run) { run.events.forEach(function (e) { classes[e.cls] = 1; ops[e.op] = 1; }); });
    field('q', 'Search', h('input', { type: 'search', placeholder: 'any text: a name, a value, a command line (/ to focus)', autocomplete: 'off' }));
    field('process', 'Process', h('input', { type: 'search', 'class': 'small', placeholder: 'name or pid' }));
    field('class', 'Class', select([['', 'any']].concat(Object.keys(classes).sort().map(function (c) { return [c, c || 'malformed']; }))));
    var opList = h('datalist', { id: 'filter-operations' }, Object.keys(ops).sort().map(function (o) { return h('option', { value: o }); }));
    bar.appendChild(opList);
    field('operation', 'Operation', h('input', { type: 'search', 'class': 'small', list: 'filter-operations' }));
    field('verdict', 'Verdict', select([['', 'any'], ['allow', 'allow'], ['deny', 'deny'], ['backup', 'backup'],
      ['other', 'other'], ['alert', 'with an alert']]));
    field('rule', 'Rule', h('input', { type: 'search', 'class': 'small', placeholder: 'number, default, alert' }));
    var clear = h('button', { type: 'button' }, 'clear');
    clear.addEventListener('click', function () {
      FIELDS.forEach(function (f) { filter[f] = ''; inputs[f].value = ''; });
      writeHash();
      apply();
    });
    bar.appendChild(clear);
    var count = h('span', { 'class': 'matches', 'aria-live': 'polite', id: 'filter-count' });
    bar.appendChild(count);
    document.addEventListener('keydown', function (ev) {
      if (ev.key === '/' && document.activeElement === document.body) { ev.preventDefault(); inputs.q.focus(); }
    });
    window.addEventListener('hashchange', function () {
      readHash();
      FIELDS.forEach(function (f) { inputs[f].value = filter[f]; });
      apply();
    });
    function apply() {
      var m = 0, t = 0;
      views.forEach(function (v) { var r = v(); m += r[0]; t += r[1]; });
      count.textContent = active() ? num(m) + ' of ' + num(t) + ' listed events match' : num(t) + ' events listed';
    }
    bar.apply = apply;
    return bar;
  }

  function drawRun(run, index) {
    var s = h('section', { 'class': 'run', 'data-run': index });
    s.appendChild(h('h2', null, run.title || 'run ' + (index + 1)));
    var meta = [];
    if (run.source) meta.push(run.source);
    if (run.techniques && run.techniques.length) meta.push('techniques: ' + run.techniques.join(', '));
    if (run.client) {
      var c = run.client;
      meta.push('client: monitors ' + ((c.monitors || []).join(', ') || 'none') + (c.backup ? ', backup folder ' + c.backup : '') +
                (c.rules !== undefined ? ', ' + c.rules + ' rules, default ' + c['default'] : ''));
    }
    if (run.volumes && run.volumes.length) {
      meta.push('volumes: ' + run.volumes.map(function (v) { return v.drive + ' = ' + v.device; }).join(', '));
    }
    if (run.passed !== undefined) {
      meta.push(h('span', { 'class': run.passed ? 'passed' : 'failed' }, run.passed ? 'PASSED' : 'FAILED'));
    }
    s.appendChild(h('div', { 'class': 'meta' }, meta.map(function (m) { return h('div', null, m); })));

    (run.errors || []).forEach(function (e) { s.appendChild(h('p', { 'class': 'notice error' }, 'error: ' + e)); });
    var t = run.totals;
    s.appendChild(h('p', { 'class': 'totals' },
      h('span', { 'class': 'count', 'data-verdict-total': 'all' }, run.eventsTotal), ' events:',
      VERDICTS.map(function (v) {
        return [badge(v), ' ', h('span', { 'class': 'count', 'data-verdict-total': v }, t[v])];
      })));
    if (run.eventsListed < run.eventsTotal) {
      var left = run.omitted.map(function (o) {
        return procLabel(run, o.proc) + ' (pid ' + run.processes[o.proc].pid + '): ' + num(o.count) + ' events from #' +
          o.fromSeq + ' to #' + o.toSeq;
      });
      s.appendChild(h('p', { 'class': 'notice omitted' }, 'The page lists ' + num(run.eventsListed) + ' of ' +
        num(run.eventsTotal) + ' events: the first ones (up to ' + num(data.eventLimit) + ' on a page), then every denied, ' +
        'backed-up or alerting event and each process\'s first ' + data.firstPerProcess + ' and latest ' +
        data.latestPerProcess + '. Left out: ' + (left.length ? left.join('; ') : 'none') + '. Every event is counted in ' +
        'the totals, the process tree, the files, the registry changes and the summary, and every denied one is listed.'));
    }
    if (run.rowsDropped) {
      s.appendChild(h('p', { 'class': 'notice' }, run.rowsDropped + ' rows past ' + data.rowLimit +
        ' per list (files, registry changes, denied, backups) are left out; the totals still count them.'));
    }

    s.appendChild(h('h3', null, 'Process tree'));
    s.appendChild(run.processes.length ? drawTree(run) : h('p', { 'class': 'muted' }, 'No process was seen.'));

    var deniedTable = run.denied.length ? eventRows(run, 'denied', run.denied) : null;
    var deniedTitle = h('span');
    s.appendChild(part(['Denied (', deniedTitle, ')'], run.denied.length,
      deniedTable || h('p', { 'class': 'muted' }, 'Nothing was denied.')));

    var alerting = run.events.filter(function (e) { return Array.isArray(e.alerts) && e.alerts.length; });
    if (alerting.length) s.appendChild(part('Alerts (' + alerting.length + ')', alerting.length, eventRows(run, 'alerts', alerting)));

    s.appendChild(part('Backups (' + run.backups.length + ')', run.backups.length, run.backups.length ? drawBackups(run) :
      h('p', { 'class': 'muted' }, 'No copy was asked for.')));

    var restore = run.restore || [];
    if (restore.length) s.appendChild(part('Restore (' + restore.length + ')', restore.length, drawRestore(run)));

    s.appendChild(part('Files changed (' + run.files.length + ')', run.files.length,
      run.files.length ? pagedTable('files', [{ label: 'file', key: function (f) { return f.path; } },
        { label: 'changes', key: function (f) { return f.operations.length; } }, { label: 'verdicts' },
        { label: 'by', key: function (f) { return f.processes.map(function (k) { return procLabel(run, k); }).join(', '); } }],
      run.files, function (f) {
        var ops = f.operations.map(function (o) { return o.op + (o.count > 1 ? ' \u00d7' + o.count : ''); }).join(', ');
        f.destinations.forEach(function (d) { ops += '; ' + (d.op === 'FileOpRename' ? 'renamed to ' : d.op + ' \u2192 ') + d.path; });
        if (f.denied.length) ops += '; denied: ' + f.denied.map(function (o) { return o.op + (o.count > 1 ? ' \u00d7' + o.count : ''); }).join(', ');
        return h('tr', null, tdWrapped(f.path, 'path'), tdWrapped(ops), h('td', null, counts(f.verdicts)),
          tdWrapped(f.processes.map(function (k) { return procLabel(run, k); }).join(', ')));
      }) : h('p', { 'class': 'muted' }, 'No file was changed.')));

    var registryTable = run.registry.length ? pagedTable('registry', [
        { label: 'seq', num: true, key: function (r) { return r.seq; } },
        { label: 'process', key: function (r) { return procLabel(run, r.proc); } },
        { label: 'operation', key: function (r) { return r.op; } },
        { label: 'key', key: function (r) { return r.path; } },
        { label: 'value', key: function (r) { return r.defaultValue ? '(Default)' : r.value; } },
        { label: 'type', key: function (r) { return r.typeName; } },
        { label: 'data', key: function (r) { return r.data; } },
        { label: 'verdict', key: function (r) { return r.verdictName; } }], run.registry, function (r) {
        return h('tr', { 'class': 'row-' + bucket(r.verdict), 'data-seq': r.seq },
          td(r.seq, 'num'), tdWrapped(procLabel(run, r.proc)), tdWrapped(r.op),
          tdWrapped(r.path + (r.newName !== undefined ? ' \u2192 ' + r.newName : ''), 'path'),
          tdWrapped(r.defaultValue ? '(Default)' : r.value === undefined ? '' : r.value, 'path'),
          td(r.typeName === undefined ? '' : r.typeName), registryData(r),
          h('td', null, badge(bucket(r.verdict), r.verdictName), alertBadges(r)));
      }) : null;
    s.appendChild(part('Registry changes (' + run.registry.length + ')', run.registry.length,
      registryTable || h('p', { 'class': 'muted' }, 'No registry event.')));

    var allTable = run.events.length ? eventRows(run, 'all-events', run.events) : null;
    var allCount = h('span');
    var exportCsv = h('button', { type: 'button' }, 'CSV'), exportJson = h('button', { type: 'button' }, 'JSON');
    var current = run.events;
    exportCsv.addEventListener('click', function () { download(exportRows(run, current, 'csv'), 'vetrona-events.csv', 'text/csv'); });
    exportJson.addEventListener('click', function () { download(exportRows(run, current, 'json'), 'vetrona-events.json', 'application/json'); });
    exportCsv.exportText = function () { return exportRows(run, current, 'csv'); };
    exportJson.exportText = function () { return exportRows(run, current, 'json'); };
    exportCsv.className = 'export export-csv';
    exportJson.className = 'export export-json';
    var allPart = part(['All events in order (', allCount, ')'], 0,
      allTable || h('p', { 'class': 'muted' }, 'No event.'), h('span', { 'class': 'export' }, ' export the rows shown: ', exportCsv, ' ', exportJson));
    s.appendChild(allPart);

    views.push(function () {
      current = active() ? run.events.filter(function (e) { return matches(run, e); }) : run.events;
      if (allTable) allTable.table.setRows(current);
      allCount.textContent = active() ? num(current.length) + ' of ' + num(run.events.length) + ' match' : num(run.events.length);
      var denied = active() ? run.denied.filter(function (e) { return matches(run, e); }) : run.denied;
      if (deniedTable) deniedTable.table.setRows(denied);
      deniedTitle.textContent = active() ? denied.length + ' of ' + run.denied.length : String(run.denied.length);
      if (registryTable) registryTable.table.setRows(active() ? run.registry.filter(function (e) { return matches(run, e); }) : run.registry);
      if (active() && current.length) allPart.setAttribute('open', '');
      return [current.length, run.events.length];
    });

    s.appendChild(h('h3', null, 'Timeline by process'));
    s.appendChild(run.events.length ? drawLanes(run) : h('p', { 'class': 'muted' }, 'No event.'));

    s.appendChild(h('h3', null, 'Summary'));
    s.appendChild(run.table.length ? pagedTable('summary', [
        { label: 'class', key: function (r) { return r['class']; } }, { label: 'operation', key: function (r) { return r.operation; } },
        { label: 'events', num: true, key: function (r) { return r.events; } }, { label: 'allow', num: true, key: function (r) { return r.allow; } },
        { label: 'deny', num: true, key: function (r) { return r.deny; } }, { label: 'backup', num: true, key: function (r) { return r.backup; } },
        { label: 'other', num: true, key: function (r) { return r.other; } }], run.table, function (r) {
        return h('tr', null, td(r['class']), td(r.operation), td(r.events, 'num'), td(r.allow, 'num'),
          td(r.deny, 'num'), td(r.backup, 'num'), td(r.other, 'num'));
      }) : h('p', { 'class': 'muted' }, 'No events.'));
    var lines = [];
    var k = run.computed;
    if (k) {
      lines.push(h('div', { 'class': 'computed' }, 'outcome, from this run\'s events and copies: ' + k.filesRestorable +
        (k.filesRestorable === 1 ? ' file has' : ' files have') + ' a byte-exact copy from before any other process changed it (' +
        num(k.bytesRestorable) + ' bytes), ' + k.copies + ' copies made, ' + k.copiesOfChangedBytes +
        ' of them of changed bytes, ' + k.operationsDenied + ' operations denied'));
    }
    if (run.outcome) {
      var o = run.outcome;
      if (o.steps !== undefined) lines.push('steps: ' + o.steps + ', ' + o.stepFailures + ' not as expected');
      if (o.expectationsMet !== undefined) lines.push('expectations: ' + o.expectationsMet + ' met, ' + o.expectationsFailed + ' failed');
      if (o.messagesSent !== undefined) lines.push('driver: ' + o.messagesSent + ' messages sent to the client');
      if (o.driverStopped !== undefined) lines.push('driver stopped: ' + o.driverStopped + '; pool ' + (o.poolClean ? 'clean' : 'LEAKED'));
      if (o.ending !== undefined) lines.push('ending: ' + o.ending);
    }
    if (lines.length) s.appendChild(h('div', { 'class': 'meta' }, lines.map(function (l) { return h('div', null, l); })));
    if (run.expectations.length) {
      s.appendChild(h('h3', null, 'Expectations'));
      s.appendChild(pagedTable('expectations', [{ label: '' }, { label: 'expectation' }, { label: 'detail' }], run.expectations, function (x) {
        return h('tr', null, h('td', null, h('span', { 'class': x.ok ? 'passed' : 'failed' }, x.ok ? 'ok' : 'FAIL')),
          tdWrapped(x.what), tdWrapped(x.detail));
      }));
    }
    return s;
  }

  // Registry data: old -> new where the run knows the old data, each string
  // of a multi-string on a line of its own.
  function registryData(r) {
    var cell = h('td', { 'class': 'path' });
    if (r.data === undefined) return cell;
    if (r.old !== undefined) {
      cell.appendChild(wrapped(r.old + (r.oldType && r.oldType !== r.typeName ? ' (' + r.oldType + ')' : '')));
      add(cell, ' \u2192 ');
    }
    if (Array.isArray(r.items)) {
      cell.appendChild(h('ol', { 'class': 'items' }, r.items.map(function (s) { var li = h('li', { 'class': 'item' }); li.appendChild(wrapped(s)); return li; })));
      if (!r.items.length) add(cell, '(no strings)');
    } else {
      cell.appendChild(wrapped(r.data));
    }
    add(cell, ' (' + r.dataBytes + ' bytes)');
    return cell;
  }

  function drawBackups(run) {
    return pagedTable('backups', [
      { label: 'seq', num: true, key: function (b) { return b.seq; } },
      { label: 'original', key: function (b) { return b.original; } },
      { label: 'copy', key: function (b) { return b.backup || ''; } },
      { label: 'original bytes', num: true, key: function (b) { return b.originalBytes === null ? -1 : b.originalBytes; } },
      { label: 'copy bytes', num: true, key: function (b) { return b.backupBytes === null ? -1 : b.backupBytes; } },
      { label: 'byte-exact', key: function (b) { return String(b.exact); } },
      { label: 'process', key: function (b) { return procLabel(run, b.proc); } },
      { label: 'holds', key: function (b) { return b.holds || ''; } },
      { label: 'step', key: function (b) { return b.step || 0; } }], run.backups, function (b) {
      var exact = b.exact === true ? 'yes' : b.exact === false ? 'NO' : 'not known';
      var holds = null;
      if (b.holds === 'restore') holds = [badge('restore', 'restore this'), ' the file before another process changed it'];
      else if (b.holds === 'changed') holds = [badge('changed', 'changed bytes'), ' after ' + procLabel(run, b.changedBy) + '\'s change at #' + b.changedAt];
      else if (b.holds === 'earlier') holds = 'an earlier state';
      else if (b.holds === 'mismatch') holds = [badge('changed', 'damaged'), ' not the bytes the file held at its close'];
      else if (b.holds === 'missing') holds = 'no copy';
      return h('tr', { 'data-seq': b.seq, 'class': b.holds ? 'row-' + b.holds : null },
        td(b.seq, 'num'), tdWrapped(b.original, 'path'),
        tdWrapped(b.backup || (b.exact === null ? '(not seen' + (b.folder ? ' in ' + b.folder : '') + ')' : '(not found)'), 'path'),
        td(b.originalBytes === undefined || b.originalBytes === null ? '' : b.originalBytes, 'num'),
        td(b.backupBytes === undefined || b.backupBytes === null ? '' : b.backupBytes, 'num'),
        td(exact), tdWrapped(b.proc === undefined ? '' : procLabel(run, b.proc)), h('td', { 'class': 'holds' }, holds),
        tdWrapped(stepText(run, b.step)));
    });
  }

  // Each damaged original: the copy the restore command puts back, the
  // process whose change it undoes, and the command line.
  function drawRestore(run) {
    return pagedTable('restore', [
      { label: 'original', key: function (r) { return r.original; } },
      { label: 'copy to restore', key: function (r) { return r.backup || ''; } },
      { label: 'bytes', num: true, key: function (r) { return r.backupBytes === undefined || r.backupBytes === null ? -1 : r.backupBytes; } },
      { label: 'damaged by', key: function (r) { return r.changedBy === undefined ? '' : procLabel(run, r.changedBy); } },
      { label: 'restore with', key: function (r) { return r.command || r.reason || ''; } }], run.restore, function (r) {
      return h('tr', { 'class': r.backup ? 'row-restore' : null },
        tdWrapped(r.original, 'path'), tdWrapped(r.backup || '(no copy)', 'path'),
        td(r.backupBytes === undefined || r.backupBytes === null ? '' : r.backupBytes, 'num'),
        tdWrapped(r.changedBy === undefined ? '' : procLabel(run, r.changedBy) + ' at #' + r.changedAt),
        tdWrapped(r.command || r.reason || '', r.command ? 'path' : null));
    });
  }

  // Ready to print: every part open, every lane and every row drawn.
  function prepareForPrint() {
    if (printing) return;
    printing = true;
    lanesToDraw.forEach(function (f) { f(); });
    tables.forEach(function (t) { t.all(); });
    Array.prototype.forEach.call(document.querySelectorAll('details'), function (d) { d.setAttribute('open', ''); });
    document.documentElement.setAttribute('data-print-ready', 'true');
  }
  window.addEventListener('beforeprint', prepareForPrint);
  if (window.matchMedia) {
    var mq = window.matchMedia('print');
    if (mq.addEventListener) mq.addEventListener('change', function (ev) { if (ev.matches) prepareForPrint(); });
  }

  document.title = visible(data.title) + ' - Vetrona behaviour report';
  readHash();
  root.appendChild(h('h1', null, 'Vetrona behaviour report'));
  root.appendChild(h('p', { 'class': 'meta' }, data.program + ', made ' + data.generated + '; ' + data.runs.length +
    (data.runs.length === 1 ? ' run' : ' runs') + '. Search and filter apply to every listed event (the "All events" ' +
    'table, the denied list and the registry changes) and are kept in the page\'s address, so a view can be shared.'));
  var bar = drawFilters();
  root.appendChild(bar);
  data.runs.forEach(function (run, i) { root.appendChild(drawRun(run, i)); });
  bar.apply();
  document.documentElement.setAttribute('data-drawn-ms', String(Math.round(performance.now())));
  document.documentElement.setAttribute('data-drawn', 'true');
})();
)js";

}  // namespace vetrona::client
