// The device page: a snapshot from api/devices, kept current by the event
// stream api/events and fetched again on every (re)connection. Every value
// comes from the network, so the page is built with DOM calls and
// textContent only, and the only links are the listener's own
// http://a.b.c.d[:port]/ ones. What a device is, and the lines that attach
// its USB devices, are the listener's to say: the page keys its rows by the
// listener's own key and shows the listener's lines, deciding neither.
'use strict';

const COLS = [
  ['state', 'State'], ['name', 'Name'], ['hostname', 'Host name'], ['version', 'Version'],
  ['mac', 'MAC'], ['ip_ap', 'LAN bridge'], ['ip_lan', 'Uplink'], ['usb_devices', 'USB'],
  ['web', 'Web'], ['heard', 'Last heard'], ['presence', 'Last 24 h']
];
// What a snapshot or an event may set on a device; nothing else is copied.
const FIELDS = ['online', 'id', 'name', 'hostname', 'version', 'mac', 'ip_ap', 'ip_lan', 'http',
  'usbip', 'usb_devices', 'source', 'source_suspect', 'contested', 'web', 'last_seen', 'presence'];
const WEB = /^http:\/\/((?:(?:25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)\.){3}(?:25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d))(?::([1-9]\d{0,4}))?\/$/;
// The listener's speed words, as a person reads them: a bare "full" reads as
// "as fast as it goes", when it is the second slowest.
const SPEEDS = {unknown: 'speed unknown', low: 'low speed (1.5 Mbit/s)',
  full: 'full speed (12 Mbit/s)', high: 'high speed (480 Mbit/s)',
  wireless: 'wireless USB (480 Mbit/s)', super: 'super speed (5 Gbit/s)',
  super_plus: 'super speed plus (10 Gbit/s or more)'};
const CELLS = 144;
const REFRESH_MS = 10000; // the stream reports changes only: last heard and presence need this
const RETRY_MS = 3000;
const SVG = 'http://www.w3.org/2000/svg';

const $ = id => document.getElementById(id);
const table = $('devices');
const rows = new Map(); // the listener's key of the device -> row
const leaving = []; // bodies of removed rows, taken away with the next draw
let sortBy = 'state', sortDir = 1, skew = 0, loaded = false;
let stream = null, retry = 0, pending = null, drawTimer = 0, order = [];

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function str(v) {
  return typeof v === 'string' ? v : typeof v === 'number' && isFinite(v) ? String(v) : '';
}

function own(o, f) {
  return Object.prototype.hasOwnProperty.call(o, f);
}

// Isolated from the text around it (a right-to-left override stays inside),
// cut with an ellipsis by the style sheet on a wide screen, whole in the
// tooltip; wrapped whole on a phone's card, which has no tooltips.
function text(v, cls) {
  const s = str(v), b = el('bdi', cls || 'cut', s);
  if (s) b.title = s;
  return b;
}

function merge(old, src) {
  const d = Object.assign({}, old);
  for (const f of FIELDS) if (own(src, f)) d[f] = src[f];
  if (own(src, 'online')) d.online = src.online === true;
  else if (own(src, 'state')) d.online = src.state === 'online';
  // Every device object carries the list or its error, or neither while
  // there is none: not asked yet, or dropped with an address it no longer
  // has; and the attach lines while the listener offers them.
  d.usb = Array.isArray(src.usb) ? src.usb : undefined;
  d.usb_error = str(src.usb_error);
  d.usb_attach = Array.isArray(src.usb_attach) ? src.usb_attach : undefined;
  d.usb_attached = Array.isArray(src.usb_attached) ? src.usb_attached : [];
  return d;
}

const seen = d => Date.parse(str(d.last_seen));

function webAddress(d) {
  const m = WEB.exec(str(d.web));
  return m && (!m[2] || Number(m[2]) < 65536) ? m[1] : '';
}

function clock(t) {
  if (!isFinite(t)) return '?';
  const d = new Date(t), hm = d.toLocaleTimeString([], {hour: '2-digit', minute: '2-digit'});
  return d.toDateString() === new Date().toDateString() ? hm
    : d.toLocaleDateString([], {day: 'numeric', month: 'short'}) + ' ' + hm;
}

function ago(ms) {
  if (!isFinite(ms)) return '—';
  const s = Math.max(0, Math.floor(ms / 1000));
  return s < 60 ? s + ' s ago' : s < 3600 ? Math.floor(s / 60) + ' min ago'
    : s < 86400 ? Math.floor(s / 3600) + ' h ago' : Math.floor(s / 86400) + ' d ago';
}

function span(seconds) {
  const m = Math.round(seconds / 60);
  return m >= 60 ? Math.floor(m / 60) + ' h' + (m % 60 ? ' ' + (m % 60) + ' min' : '') : m + ' min';
}

function svg(tag, attrs) {
  const e = document.createElementNS(SVG, tag);
  for (const a in attrs) e.setAttribute(a, attrs[a]);
  return e;
}

// The last 24 hours, oldest cell first: one rectangle per run of cells in
// one state, coloured by the style sheet.
function strip(p, cls) {
  const raw = p && typeof p.cells === 'string' ? p.cells.slice(-CELLS) : '';
  const cells = ('-'.repeat(CELLS - raw.length) + raw).replace(/[^uo]/g, '-');
  const each = p && Number.isInteger(p.cell_seconds) && p.cell_seconds > 0 ? p.cell_seconds : 600;
  const pic = svg('svg', {viewBox: '0 0 ' + CELLS + ' 1', preserveAspectRatio: 'none',
    class: cls, role: 'img'});
  const count = {u: 0, o: 0, '-': 0};
  for (let i = 0, j; i < CELLS; i = j) {
    for (j = i + 1; j < CELLS && cells[j] === cells[i];) j++;
    count[cells[i]] += j - i;
    pic.append(svg('rect', {x: i, y: 0, width: j - i, height: 1,
      class: {u: 'p-on', o: 'p-off', '-': 'p-unknown'}[cells[i]]}));
  }
  const say = 'Online ' + span(count.u * each) + ', offline ' + span(count.o * each) +
    ', not yet known ' + span(count['-'] * each) + ' of the last ' + span(CELLS * each);
  const title = svg('title', {});
  title.textContent = say;
  pic.append(title);
  pic.setAttribute('aria-label', say);
  return pic;
}

function makeRow(k) {
  const r = {k, body: el('tbody', 'dev'), tr: el('tr', 'main'), c: {}, det: null, open: false};
  for (const [f, label] of COLS) {
    const td = el('td', 'c-' + f);
    td.dataset.label = label;
    r.c[f] = td;
    r.tr.append(td);
  }
  r.btn = el('button', 'open');
  r.btn.type = 'button';
  r.btn.setAttribute('aria-expanded', 'false');
  r.c.name.append(r.btn);
  r.tr.addEventListener('click', e => {
    if (!e.target.closest('a') && getSelection().isCollapsed) toggle(r);
  });
  r.body.append(r.tr);
  return r;
}

function fill(r) {
  const d = r.d, c = r.c, on = d.online === true, t = seen(d);
  r.tr.classList.toggle('off', !on);
  const state = el('span', on ? 'state on' : 'state off', on ? 'online' : 'offline ');
  if (!on) state.append(el('span', 'when', 'since ' + clock(t)));
  if (isFinite(t)) state.title = 'last heard ' + new Date(t).toLocaleString();
  c.state.replaceChildren(state);
  if (d.contested === true) c.state.append(el('span', 'warn', ' contested'));
  r.btn.replaceChildren(str(d.name) ? text(d.name) : el('i', 'cut', '(no name)'));
  for (const f of ['hostname', 'version', 'mac', 'ip_ap', 'ip_lan']) c[f].replaceChildren(text(d[f]));
  c.usb_devices.textContent = str(d.usb_devices);
  const address = webAddress(d);
  let link = text(d.web);
  if (address) {
    link = el('a', null, d.web);
    link.href = d.web;
    link.rel = 'noreferrer noopener';
    link.target = '_blank';
  }
  c.web.replaceChildren(link);
  c.presence.replaceChildren(strip(d.presence, 'strip'));
  r.hay = ['name', 'hostname', 'version', 'mac', 'ip_ap', 'ip_lan', 'source', 'web']
    .map(f => str(d[f])).join('\n').toLowerCase();
  heard(r, Date.now() + skew);
  if (r.open) detail(r);
}

function heard(r, now) {
  const t = ago(now - seen(r.d));
  if (r.c.heard.textContent !== t) r.c.heard.textContent = t;
}

function toggle(r) {
  r.open = !r.open;
  r.btn.setAttribute('aria-expanded', String(r.open));
  if (r.open) {
    detail(r);
  } else if (r.det) {
    r.det.remove();
    r.det = null;
  }
}

function fact(list, term, value) {
  list.append(el('dt', null, term));
  const dd = el('dd');
  dd.append(value instanceof Node ? value : text(value, 'wrap'));
  list.append(dd);
}

// Rebuilt only when what it shows changed, so that an open pane keeps its
// selection and copy notes while other values change.
function detail(r) {
  const d = r.d;
  const sig = JSON.stringify([d.source, d.source_suspect, d.contested, d.http, d.usbip, d.web,
    d.usb, d.usb_error, d.usb_attach, d.usb_attached, d.presence]);
  if (r.det && r.sig === sig) return;
  r.sig = sig;
  if (!r.det) {
    r.det = el('tr', 'detail');
    const td = el('td');
    td.colSpan = COLS.length;
    r.det.append(td);
    r.body.append(r.det);
  }
  const facts = el('dl', 'facts');
  const from = el('span');
  from.append(text(d.source, 'wrap'));
  if (d.source_suspect === true) from.append(el('span', 'warn', ' not an address it announces'));
  if (d.contested === true) from.append(el('span', 'warn', ' contested: two senders announce its MAC'));
  fact(facts, 'Heard from', from);
  fact(facts, 'Web port', d.http);
  fact(facts, 'USB/IP port', d.usbip);
  const presence = el('section', 'presence');
  presence.append(el('h3', null, 'Presence, last 24 hours'), strip(d.presence, 'strip big'));
  const axis = el('p', 'axis');
  axis.append(el('span', null, '24 h ago'), el('span', null, 'now'));
  const key = el('p', 'legend');
  for (const [cls, what] of [['k-on', 'online'], ['k-off', 'offline'], ['k-unknown', 'not yet known']]) {
    key.append(el('span', cls, what));
  }
  presence.append(axis, key);
  r.det.firstChild.replaceChildren(facts, presence, usbPane(d));
}

// "attached here, port N" for a shared device the listener keeps attached
// to its own machine; the page only tells it, it changes nothing.
function attachedHere(d, busid) {
  const a = d.usb_attached.find(a => a && typeof a === 'object' && a.busid === busid);
  return a ? el('span', 'here', 'attached here, port ' + str(a.port)) : null;
}

function usbPane(d) {
  const pane = el('section', 'usb');
  pane.append(el('h3', null, 'Shared USB devices'));
  if (d.usb_error) pane.append(el('p', 'note warn', d.usb_error));
  const listed = Array.isArray(d.usb) ? d.usb.filter(u => u && typeof u === 'object') : [];
  // Its server lists no device in use: one attached here may show alone.
  for (const a of d.usb_attached) {
    if (!a || typeof a !== 'object' || listed.some(u => u.busid === a.busid)) continue;
    const head = el('p', 'usbhead');
    head.append(el('code', null, str(a.busid)), ' · ', attachedHere(d, a.busid));
    const item = el('div', 'usbdev');
    item.append(head);
    pane.append(item);
  }
  if (!Array.isArray(d.usb)) {
    if (!d.usb_error) pane.append(el('p', 'note', 'USB/IP not asked: start the listener with --usb'));
    return pane;
  }
  if (!d.usb.length && !d.usb_attached.length) pane.append(el('p', 'note', 'none shared'));
  const lines = Array.isArray(d.usb_attach) ? d.usb_attach : [];
  let attachable = false;
  for (const u of listed) {
    const item = el('div', 'usbdev'), head = el('p', 'usbhead');
    head.append(el('code', null, str(u.busid)), ' ', el('code', null, str(u.vendor) + ':' + str(u.product)));
    for (const f of ['vendor_name', 'product_name', 'class']) {
      if (str(u[f])) head.append(' ', text(u[f], f === 'class' ? 'wrap muted' : 'wrap'));
    }
    const speed = str(u.speed);
    if (speed) head.append(' · ', text(own(SPEEDS, speed) ? SPEEDS[speed] : speed, 'wrap muted'));
    const here = attachedHere(d, u.busid);
    if (here) head.append(' · ', here);
    item.append(head);
    const attach = lines.find(a => a && typeof a === 'object' && a.busid === u.busid);
    if (attach && str(attach.linux) && str(attach.windows)) {
      item.append(command('Linux', str(attach.linux)),
        command('Windows (usbip-win2)', str(attach.windows)));
      attachable = true;
    } else if (d.contested === true) {
      item.append(el('p', 'note warn', 'no command while two senders announce this device'));
    } else {
      item.append(el('p', 'note', 'no command: the device has no address to reach it at'));
    }
    pane.append(item);
  }
  if (attachable) pane.append(firstTime());
  return pane;
}

// What the attach lines need once on a computer, and how to let a device go.
function firstTime() {
  const note = el('details', 'once'), list = el('ul');
  note.append(el('summary', null, 'First time on this computer? Letting a device go?'));
  for (const parts of [
    ['Linux: install the usbip package (', 'sudo apt install usbip', ' on Debian)'],
    ['then load its driver, again after each restart: ', 'sudo modprobe vhci-hcd'],
    ['to let a device go: ', 'usbip port', ' shows its port number N, then ',
      'sudo usbip detach -p N'],
    ['Windows: install usbip-win2 first']]) {
    const item = el('li');
    parts.forEach((part, i) => item.append(i % 2 ? el('code', null, part) : part));
    list.append(item);
  }
  note.append(list);
  return note;
}

// Each word in a box of its own that never breaks, so that a narrow screen
// wraps the line between words only, never inside a bus id or an address.
function command(os, line) {
  const box = el('div', 'cmd'), code = el('code', 'line'), note = el('span', 'copied');
  line.split(' ').forEach((word, i) => code.append(i ? ' ' : '', el('span', 'word', word)));
  const button = el('button', null, 'Copy');
  button.type = 'button';
  button.addEventListener('click', () => copy(code, note));
  box.append(el('span', 'os', os), code, button, note);
  return box;
}

// The Clipboard API exists on secure origins only (localhost, https); a
// phone on the LAN opens plain http, where the line is selected for the
// person to copy. The old copy command is tried too, but its answer is not
// to be trusted (it says yes where nothing reached the clipboard), so the
// note says only what is sure.
function copy(code, note) {
  const select = () => {
    getSelection().selectAllChildren(code);
    try {
      document.execCommand('copy');
    } catch (e) {
      // selected all the same
    }
    note.textContent = matchMedia('(pointer: coarse)').matches
      ? 'selected: touch and hold it, then Copy' : 'selected: press Ctrl+C (⌘C on a Mac)';
  };
  if (window.isSecureContext && navigator.clipboard) {
    navigator.clipboard.writeText(code.textContent).then(() => { note.textContent = 'copied'; }, select);
  } else {
    select();
  }
}

const collate = new Intl.Collator().compare;

const ipv4 = s => {
  const m = /^(\d+)\.(\d+)\.(\d+)\.(\d+)$/.exec(s);
  return m ? ((+m[1] * 256 + +m[2]) * 256 + +m[3]) * 256 + +m[4] : Infinity;
};

function sortKey(d, f) {
  switch (f) {
    case 'state': return d.online ? 0 : 1;
    case 'usb_devices': return typeof d.usb_devices === 'number' ? d.usb_devices : -1;
    case 'heard': return -(seen(d) || 0);
    case 'ip_ap': case 'ip_lan': return ipv4(str(d[f]));
    case 'web': return ipv4(webAddress(d));
    default: return str(d[f]).toLowerCase();
  }
}

function compare(a, b) {
  const x = sortKey(a.d, sortBy), y = sortKey(b.d, sortBy);
  if (x !== y) return (x < y ? -1 : 1) * sortDir;
  return collate(str(a.d.name), str(b.d.name)) || (a.k < b.k ? -1 : a.k > b.k ? 1 : 0);
}

function schedule() {
  if (!drawTimer) drawTimer = setTimeout(draw, 100);
}

// The indices of a longest increasing run of a's non-negative values.
function steady(a) {
  const tails = [], prev = [], keep = new Set();
  a.forEach((v, i) => {
    if (v < 0) return;
    let lo = 0, hi = tails.length;
    while (lo < hi) {
      const m = (lo + hi) >> 1;
      if (a[tails[m]] < v) lo = m + 1;
      else hi = m;
    }
    prev[i] = lo ? tails[lo - 1] : -1;
    tails[lo] = i;
  });
  for (let i = tails.length ? tails[tails.length - 1] : -1; i >= 0; i = prev[i]) keep.add(i);
  return keep;
}

// Puts the rows in list's order moving as few as can be: a table relaid
// out from scratch for every change would not keep up with a busy network.
function reorder(list) {
  const was = new Map(order.map((r, i) => [r, i]));
  const keep = steady(list.map(r => (was.has(r) ? was.get(r) : -1)));
  let next = null;
  for (let i = list.length - 1; i >= 0; i--) {
    if (!keep.has(i)) table.insertBefore(list[i].body, next);
    next = list[i].body;
  }
  order = list;
}

// Changes are drawn together, at most 10 times a second.
function draw() {
  drawTimer = 0;
  const list = [...rows.values()].sort(compare);
  const words = $('filter').value.toLowerCase().split(/\s+/).filter(Boolean);
  let online = 0, shown = 0;
  for (const r of list) {
    if (r.dirty) fill(r);
    r.dirty = false;
    if (r.d.online) online++;
    r.body.hidden = !words.every(w => r.hay.includes(w));
    if (!r.body.hidden) shown++;
  }
  for (const body of leaving.splice(0)) body.remove();
  reorder(list);
  $('n-online').textContent = online;
  $('n-offline').textContent = list.length - online;
  $('n-all').textContent = list.length;
  $('n-shown').textContent = words.length ? ' · ' + shown + ' shown' : '';
  const empty = !loaded ? 'Waiting for the listener…' : !list.length ? 'No device heard yet.'
    : !shown ? 'No device matches the filter.' : '';
  $('empty').textContent = empty;
  $('empty').hidden = !empty;
}

// A device that was only heard again (every periodic snapshot brings
// that) is not drawn anew: its last heard counts on by itself.
const shape = d => JSON.stringify(Object.assign({}, d, {last_seen: d.online ? '' : d.last_seen}));

function put(k, d) {
  let r = rows.get(k);
  if (!r) rows.set(k, r = makeRow(k));
  if (!r.d || shape(r.d) !== shape(d)) r.dirty = true;
  r.d = d;
}

// The row goes with the next draw, so that the counts go with it.
function drop(k) {
  const r = rows.get(k);
  if (r) leaving.push(r.body);
  rows.delete(k);
}

function load(snap) {
  if (!snap || !Array.isArray(snap.devices)) throw new Error('not a snapshot');
  const now = Date.parse(str(snap.now));
  if (isFinite(now)) skew = now - Date.now();
  const keys = new Set();
  for (const dev of snap.devices) {
    const k = dev && typeof dev === 'object' ? str(dev.key) : '';
    if (!k) continue;
    keys.add(k);
    put(k, merge({}, dev));
  }
  for (const k of [...rows.keys()]) if (!keys.has(k)) drop(k);
  loaded = true;
}

// A device that moved to a new MAC goes on in its row under its new key,
// open or not, so that the old key's row is gone in the same draw.
function rekey(was, k) {
  const r = rows.get(was);
  rows.delete(was);
  if (rows.has(k)) {
    leaving.push(r.body);
    return;
  }
  r.k = k;
  rows.set(k, r);
}

function apply(ev) {
  const k = str(ev.key);
  if (!k) return;
  const was = str(ev.previous_key);
  if (was && was !== k && rows.has(was)) rekey(was, k);
  if (ev.event === 'removed') drop(k);
  else put(k, merge(rows.has(k) ? rows.get(k).d : {}, ev));
}

function live(ok) {
  $('status').hidden = ok;
  document.body.classList.toggle('stale', !ok);
}

function again() {
  clearTimeout(retry);
  retry = setTimeout(connect, RETRY_MS);
}

function connect() {
  clearTimeout(retry);
  if (stream) stream.close();
  const s = stream = new EventSource('api/events');
  s.onopen = refresh;
  s.onmessage = m => {
    let ev;
    try {
      ev = JSON.parse(m.data);
    } catch (e) {
      return;
    }
    if (s !== stream || !ev || typeof ev !== 'object') return;
    if (pending) pending.push(ev); // applied over the snapshot under way
    else apply(ev);
    schedule();
  };
  // A dropped stream is retried by the browser; one it gave up on (an
  // error status, such as 503 when the listener is full) by us.
  s.onerror = () => {
    live(false);
    if (s.readyState === EventSource.CLOSED) again();
  };
}

function refresh() {
  if (pending) return;
  pending = [];
  fetch('api/devices', {cache: 'no-store'})
    .then(res => {
      if (!res.ok) throw new Error('HTTP ' + res.status);
      return res.json();
    })
    .then(snap => {
      load(snap);
      const late = pending;
      pending = null;
      late.forEach(apply);
      live(stream.readyState === EventSource.OPEN);
      schedule();
    })
    .catch(() => {
      pending = null;
      live(false);
      again();
    });
}

function header() {
  for (const [f, label] of COLS) {
    const th = el('th', 'c-' + f);
    th.scope = 'col';
    if (f === 'presence') {
      th.textContent = label;
    } else {
      const b = el('button', null, label);
      b.type = 'button';
      if (f === 'usb_devices') b.title = 'USB devices plugged in, hubs included';
      b.addEventListener('click', () => {
        sortDir = sortBy === f ? -sortDir : 1;
        sortBy = f;
        marks();
        schedule();
      });
      th.append(b);
      th.dataset.sort = f;
    }
    $('head').append(th);
  }
  marks();
}

function marks() {
  for (const th of $('head').children) {
    if (!th.dataset.sort) continue;
    th.setAttribute('aria-sort', th.dataset.sort !== sortBy ? 'none'
      : sortDir > 0 ? 'ascending' : 'descending');
  }
}

header();
$('filter').addEventListener('input', schedule);
setInterval(() => {
  const now = Date.now() + skew;
  for (const r of rows.values()) if (!r.body.hidden && !r.dirty) heard(r, now);
}, 1000);
setInterval(() => {
  if (!document.hidden && stream && stream.readyState === EventSource.OPEN) refresh();
}, REFRESH_MS);
document.addEventListener('visibilitychange', () => {
  if (!document.hidden && stream && stream.readyState === EventSource.OPEN) refresh();
});
draw();
connect();
