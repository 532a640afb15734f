// The behaviour report's own style and script, placed in the page as they
// are (the page's Content-Security-Policy admits exactly these two by their
// SHA-256). The script reads the JSON in #report-data and builds the page
// with createElement and text nodes only: nothing from the data is ever
// parsed as markup, set as a URL or run. Characters that would hide or
// disguise text (controls, line and paragraph separators, direction marks
// and overrides) are shown as \xNN or \uNNNN.
#pragma once

namespace vetrona::client {

inline constexpr const char* kReportStyle = R"css(
:root { --fg: #1d2330; --muted: #5d6575; --line: #d9dde5; --bg: #ffffff; --soft: #f4f6f9;
        --allow: #2f7d32; --deny: #b3261e; --backup: #1f5fae; --other: #6d5d00; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif;
       color: var(--fg); background: var(--bg); }
main { max-width: 1200px; margin: 0 auto; padding: 16px 24px 48px; }
h1 { font-size: 22px; margin: 8px 0 4px; }
h2 { font-size: 18px; margin: 28px 0 4px; padding-top: 12px; border-top: 2px solid var(--line); }
h3 { font-size: 15px; margin: 20px 0 6px; }
.muted, .meta { color: var(--muted); }
.meta div, .detail div { margin: 0; }
.notice { background: #fff7e0; border: 1px solid #e8d18a; padding: 6px 10px; border-radius: 4px; }
.mono, td.path, .cmd, .detail { font-family: ui-monospace, "DejaVu Sans Mono", Consolas, monospace; font-size: 12.5px; }
.verdict { display: inline-block; padding: 0 6px; border-radius: 3px; font-size: 12px; font-weight: 600;
           color: #fff; margin-left: 4px; }
.v-allow { background: var(--allow); } .v-deny { background: var(--deny); }
.v-backup { background: var(--backup); } .v-other { background: var(--other); }
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
.proc .pid, .proc .name { color: var(--muted); margin-left: 6px; }
.detail { color: var(--muted); margin: 2px 0 0 10px; overflow-wrap: anywhere; }
table { border-collapse: collapse; width: 100%; margin: 4px 0; }
th, td { text-align: left; vertical-align: top; padding: 3px 8px; border-bottom: 1px solid var(--line); }
th { background: var(--soft); font-weight: 600; }
td { overflow-wrap: anywhere; }
td.num, th.num, td.time { text-align: right; white-space: nowrap; overflow-wrap: normal; }
td.time { text-align: left; }
tr.row-deny td { background: #fdf3f2; }
tr.step-head td { background: #eef2f8; color: var(--muted); font-style: italic; padding-top: 6px; }
details.lane { margin: 6px 0; border: 1px solid var(--line); border-radius: 4px; }
details.lane > summary { cursor: pointer; padding: 4px 8px; background: var(--soft); }
details.lane > div { padding: 0 8px 6px; }
button.more { margin: 4px 0; }
details.part > summary { cursor: pointer; list-style-position: outside; }
details.part > summary h3 { display: inline-block; margin: 16px 0 6px; }
.repeat { color: var(--muted); font-weight: 600; }
)css";

inline constexpr const char* kReportScript = R"js(
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var root = document.getElementById('report');
  var PAGE = 200;
  var VERDICTS = ['allow', 'deny', 'backup', 'other'];

  function visible(s) {
    return String(s).replace(/[\u0000-\u001f\u007f-\u009f\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]/g,
      function (c) {
        var code = c.charCodeAt(0).toString(16);
        return code.length <= 2 ? '\\x' + ('0' + code).slice(-2) : '\\u' + ('000' + code).slice(-4);
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
  function badge(v, text) { return h('span', { 'class': 'verdict v-' + bucket(v) }, text === undefined ? v : text); }
  function base(path) { var s = String(path || ''); var i = s.lastIndexOf('\\'); return i >= 0 ? s.slice(i + 1) : s; }
  function clock(t) { return t ? String(t).replace(/^.*T/, '').replace('Z', '') : ''; }
  function ruleText(r) { return typeof r === 'number' ? 'rule ' + r : (r === 'default' ? 'default' : (r ? String(r) : '')); }

  function counts(c) {
    var out = [];
    VERDICTS.forEach(function (v) { if (c && c[v]) out.push(badge(v, v + ' ' + c[v])); });
    return out;
  }

  // A table that shows PAGE rows at a time.
  function pagedTable(cls, headers, rows, rowFn) {
    var body = h('tbody');
    var table = h('table', { 'class': cls },
      h('thead', null, h('tr', null, headers.map(function (x) {
        return h('th', x.charAt(0) === '#' ? { 'class': 'num' } : null, x.replace(/^#/, ''));
      }))), body);
    var wrap = h('div', null, table);
    var shown = 0;
    var more = h('button', { type: 'button', 'class': 'more' });
    function next() {
      var end = Math.min(rows.length, shown + PAGE);
      for (; shown < end; shown++) body.appendChild(rowFn(rows[shown], shown));
      if (shown < rows.length) {
        more.textContent = 'show ' + Math.min(PAGE, rows.length - shown) + ' more (' + (rows.length - shown) + ' left)';
        if (!more.parentNode) wrap.appendChild(more);
      } else if (more.parentNode) {
        more.parentNode.removeChild(more);
      }
    }
    more.addEventListener('click', next);
    next();
    return wrap;
  }

  function td(text, cls) { return h('td', cls ? { 'class': cls } : null, text); }

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

  function target(e) {
    var t = e.path || '';
    if (e.dest) t += ' \u2192 ' + e.dest;
    if (e.value !== undefined) t += ' : ' + e.value;
    if (e.data !== undefined) t += ' = ' + e.data;
    if (e.commandLine) t += '  [' + e.commandLine + ']';
    if (e.error) t += '(malformed: ' + e.error + ')';
    return t;
  }

  function moment(m) {
    if (!m) return '';
    var parts = [];
    if (m.seq !== undefined && m.seq !== null) parts.push('#' + m.seq);
    if (m.time) parts.push(clock(m.time));
    if (m.step) parts.push('step ' + m.step);
    return parts.join(', ');
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
        h('span', { 'class': 'pid' }, 'pid ' + p.pid),
        p.name ? h('span', { 'class': 'name' }, p.name) : null,
        denied ? badge('deny', 'start denied') : null,
        counts(p.counts)));
      var lines = [];
      if (p.image) lines.push(p.image);
      if (p.commandLine) lines.push('command line: ' + p.commandLine);
      if (p.start) lines.push('started ' + moment(p.start) + (p.startVerdict ? ' (' + p.startVerdict + ')' : ''));
      else if (p.machine) lines.push('running when the run began');
      if (p.exit) lines.push('exited ' + moment(p.exit));
      li.appendChild(h('div', { 'class': 'detail' }, lines.map(function (l) { return h('div', null, l); })));
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
                 String(e.rule)].join('\u0000');
      var last = out[out.length - 1];
      if (last && last.key === key) { last.n++; last.last = e; } else out.push({ key: key, n: 1, first: e, last: e });
    });
    return out;
  }

  function drawTimeline(run) {
    var byProcess = {};
    run.events.forEach(function (e) { (byProcess[e.proc] = byProcess[e.proc] || []).push(e); });
    var openAll = run.events.length <= 400;
    var lanes = h('div', { 'class': 'lanes' });
    run.processes.forEach(function (p) {
      var list = byProcess[p.key];
      if (!list) return;
      var groups = collapse(list);
      var lane = h('details', { 'class': 'lane', 'data-key': p.key });
      lane.appendChild(h('summary', null, procLabel(run, p.key) + ', pid ' + p.pid + ': ' + list.length +
        (list.length < p.events ? ' of ' + p.events : '') + (p.events === 1 ? ' event' : ' events') +
        (groups.length < list.length ? ' in ' + groups.length + ' rows (repeats collapsed)' : ''), counts(p.counts)));
      var drawn = false;
      function draw() {
        if (drawn) return;
        drawn = true;
        // A row that names the workload step, where the step changes.
        var lastStep;  // undefined: no row yet, so the first row gets its heading
        var hasSteps = Object.keys(run.steps).length > 0;
        lane.appendChild(h('div', null, pagedTable('timeline', ['#seq', 'time', 'operation', 'target', 'verdict', '#times'],
          groups, function (g) {
            var e = g.first;
            var row = h('tr', { 'class': 'event row-' + bucket(e.verdict), 'data-seq': e.seq },
              td(g.n > 1 ? e.seq + '\u2013' + g.last.seq : e.seq, 'num'), td(clock(e.time), 'time'),
              td(e.op), td(target(e), 'path'), h('td', null, badge(e.verdict, e.verdictName), ' ', ruleText(e.rule)),
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
      if (openAll) { lane.setAttribute('open', ''); draw(); }
      lane.addEventListener('toggle', function () { if (lane.open) draw(); });
      lanes.appendChild(lane);
    });
    return lanes;
  }

  // A part of a run's section under its heading; a long one starts folded.
  function part(title, count, body) {
    var d = h('details', { 'class': 'part' }, h('summary', null, h('h3', null, title)), body);
    if (count <= 50) d.setAttribute('open', '');
    return d;
  }

  function eventRows(run, cls, rows) {
    return pagedTable(cls, ['#seq', 'time', 'process', 'step', 'operation', 'target', 'rule'], rows, function (e) {
      return h('tr', { 'class': 'event row-' + bucket(e.verdict), 'data-seq': e.seq },
        td(e.seq, 'num'), td(clock(e.time), 'time'), td(procLabel(run, e.proc)), td(stepText(run, e.step)), td(e.op),
        td(target(e), 'path'), td(ruleText(e.rule)));
    });
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
      s.appendChild(h('p', { 'class': 'notice' }, 'The timeline lists the first ' + run.eventsListed + ' of ' +
        run.eventsTotal + ' events (a page lists at most ' + data.eventLimit + '). Every event is counted in the totals, ' +
        'the process tree, the files, the registry changes and the summary, and every denied one is listed.'));
    }
    if (run.rowsDropped) {
      s.appendChild(h('p', { 'class': 'notice' }, run.rowsDropped + ' rows past ' + data.rowLimit +
        ' per list (files, registry changes, denied, backups) are left out; the totals still count them.'));
    }

    s.appendChild(h('h3', null, 'Process tree'));
    s.appendChild(run.processes.length ? drawTree(run) : h('p', { 'class': 'muted' }, 'No process was seen.'));

    s.appendChild(part('Denied (' + run.denied.length + ')', run.denied.length,
      run.denied.length ? eventRows(run, 'denied', run.denied) : h('p', { 'class': 'muted' }, 'Nothing was denied.')));

    s.appendChild(part('Backups (' + run.backups.length + ')', run.backups.length, run.backups.length ? pagedTable('backups',
      ['#seq', 'original', 'copy', '#original bytes', '#copy bytes', 'byte-exact', 'step'], run.backups, function (b) {
        var exact = b.exact === true ? 'yes' : b.exact === false ? 'NO' : 'not known';
        return h('tr', { 'data-seq': b.seq },
          td(b.seq, 'num'), td(b.original, 'path'),
          td(b.backup || (b.exact === null ? '(not seen' + (b.folder ? ' in ' + b.folder : '') + ')' : '(not found)'), 'path'),
          td(b.originalBytes === undefined || b.originalBytes === null ? '' : b.originalBytes, 'num'),
          td(b.backupBytes === undefined || b.backupBytes === null ? '' : b.backupBytes, 'num'),
          td(exact), td(stepText(run, b.step)));
      }) : h('p', { 'class': 'muted' }, 'No copy was asked for.')));

    s.appendChild(part('Files changed (' + run.files.length + ')', run.files.length,
      run.files.length ? pagedTable('files', ['file', 'operations', 'verdicts', 'by'], run.files, function (f) {
      var ops = f.operations.map(function (o) { return o.op + (o.count > 1 ? ' \u00d7' + o.count : ''); }).join(', ');
      if (f.renamedTo.length) ops += '; renamed to ' + f.renamedTo.join(', ');
      return h('tr', null, td(f.path, 'path'), td(ops), h('td', null, counts(f.verdicts)),
        td(f.processes.map(function (k) { return procLabel(run, k); }).join(', ')));
    }) : h('p', { 'class': 'muted' }, 'No file event.')));

    s.appendChild(part('Registry changes (' + run.registry.length + ')', run.registry.length,
      run.registry.length ? pagedTable('registry',
      ['#seq', 'process', 'operation', 'key', 'value', 'data', 'verdict'], run.registry, function (r) {
        return h('tr', { 'class': 'row-' + bucket(r.verdict), 'data-seq': r.seq },
          td(r.seq, 'num'), td(procLabel(run, r.proc)), td(r.op), td(r.path, 'path'),
          td(r.value === undefined ? '' : r.value, 'path'),
          td(r.data === undefined ? '' : r.data + ' (type ' + r.dataType + ', ' + r.dataBytes + ' bytes)', 'path'),
          h('td', null, badge(r.verdict, r.verdictName)));
      }) : h('p', { 'class': 'muted' }, 'No registry event.')));

    s.appendChild(h('h3', null, 'Timeline by process'));
    s.appendChild(run.events.length ? drawTimeline(run) : h('p', { 'class': 'muted' }, 'No event.'));

    s.appendChild(h('h3', null, 'Summary'));
    s.appendChild(run.table.length ? pagedTable('summary',
      ['class', 'operation', '#events', '#allow', '#deny', '#backup', '#other'], run.table, function (r) {
        return h('tr', null, td(r['class']), td(r.operation), td(r.events, 'num'), td(r.allow, 'num'),
          td(r.deny, 'num'), td(r.backup, 'num'), td(r.other, 'num'));
      }) : h('p', { 'class': 'muted' }, 'No events.'));
    if (run.outcome) {
      var o = run.outcome;
      var lines = [];
      if (o.steps !== undefined) lines.push('steps: ' + o.steps + ', ' + o.stepFailures + ' not as expected');
      if (o.expectationsMet !== undefined) lines.push('expectations: ' + o.expectationsMet + ' met, ' + o.expectationsFailed + ' failed');
      if (o.filesProtected !== undefined) lines.push('outcome: ' + o.filesProtected + ' files protected, ' + o.bytesRecovered +
        ' bytes recovered, ' + o.operationsDenied + ' operations denied');
      if (o.messagesSent !== undefined) lines.push('driver: ' + o.messagesSent + ' messages sent to the client');
      if (o.driverStopped !== undefined) lines.push('driver stopped: ' + o.driverStopped + '; pool ' + (o.poolClean ? 'clean' : 'LEAKED'));
      if (o.ending !== undefined) lines.push('ending: ' + o.ending);
      s.appendChild(h('div', { 'class': 'meta' }, lines.map(function (l) { return h('div', null, l); })));
    }
    if (run.expectations.length) {
      s.appendChild(h('h3', null, 'Expectations'));
      s.appendChild(pagedTable('expectations', ['', 'expectation', 'detail'], run.expectations, function (x) {
        return h('tr', null, h('td', null, h('span', { 'class': x.ok ? 'passed' : 'failed' }, x.ok ? 'ok' : 'FAIL')),
          td(x.what), td(x.detail));
      }));
    }
    return s;
  }

  root.appendChild(h('h1', null, 'Vetrona behaviour report'));
  root.appendChild(h('p', { 'class': 'meta' }, data.program + ', made ' + data.generated + '; ' + data.runs.length +
    (data.runs.length === 1 ? ' run' : ' runs') + '. A page lists at most ' + data.eventLimit +
    ' events in its timelines; repeats of the same operation on the same target are collapsed into one row.'));
  data.runs.forEach(function (run, i) { root.appendChild(drawRun(run, i)); });
  document.documentElement.setAttribute('data-drawn-ms', String(Math.round(performance.now())));
  document.documentElement.setAttribute('data-drawn', 'true');
})();
)js";

}  // namespace vetrona::client
