// The web console's channel list: the channels as the program last told them, and which of them
// the table shows in what order (sorted, filtered, kept in the address's hash). Loaded before
// console.js, which draws them.
'use strict';

// ---- the channels as the program last told them ----

// The page asks for what changed since the revision of its last answer; the program answers
// field by field ({field: {id: value}}), the list of ids when it changed, and everything when
// it does not know the revision (it was restarted).
const known = new Map();    // id -> {id, name, state, bitrate, …}
let order = [];
let revision = 0;

function takeAnswer(answer) {
  if (!answer.full && answer.revision < revision) return;   // overtaken by a newer answer
  if (answer.full) known.clear();
  if (answer.ids) order = answer.ids;
  for (const [field, values] of Object.entries(answer.changes)) {
    for (const [id, value] of Object.entries(values)) {
      if (!known.has(Number(id))) known.set(Number(id), {id: Number(id)});
      known.get(Number(id))[field] = value;
    }
  }
  const listed = new Set(order);
  for (const id of known.keys()) if (!listed.has(id)) known.delete(id);
  revision = answer.revision;
  // A channel listed but never described: ask for everything next time.
  if (order.some((id) => !known.has(id))) revision = 0;
  const {changes, ids, ...header} = answer;
  status = {...header, channels: order.filter((id) => known.has(id)).map((id) => known.get(id))};
}

// The publish addresses of a live channel whose pushers fail: it relays, but not to all of them.
// Only a channel with several addresses has outputs.
function failingOutputs(c) {
  return c.state === 'live' && c.outputs ? c.outputs.filter((o) => o.state === 'failing') : [];
}

// Live but not well: relaying badly, or not to every one of its publish addresses.
function isDegraded(c) {
  return Boolean(c.degraded) || failingOutputs(c).length > 0;
}

// What a row shows in its cause column: the publish addresses a live channel fails to reach and
// why it relays badly, otherwise the cause of its last failure.
function causeOf(c) {
  if (c.standin_since != null) {  // 备用画面: since when, and why the camera is down
    const since = new Date(c.standin_since * 1000).toLocaleTimeString('zh-CN', {hour12: false});
    return '备用画面（自 ' + since + ' 起）：' + (c.cause || '');
  }
  const failing = failingOutputs(c);
  const outputs = failing.length === 1
    ? '推流地址' + failing[0].output + '失败：' + (failing[0].failure ? failing[0].failure.text : '')
    : failing.length > 1 ? failing.length + '个推流地址失败' : '';
  if (outputs || c.degraded) return [outputs, c.degraded ? c.health : ''].filter(Boolean).join('；');
  return c.cause || '';
}

function liveSeconds(c) {
  return c.live_since == null ? null : status.now - c.live_since;
}

// ---- what the list shows: sorted, filtered, kept in the address's hash ----

const GROUPS = {   // the header's counts and the state filter
  'live': (c) => c.state === 'live',
  'degraded': isDegraded,
  'failing': (c) => c.state === 'failing' || c.state === 'retrying' || c.state === 'standin',
  'given-up': (c) => c.state === 'given_up',
  'stopped': (c) => c.state === 'stopped',
};

// Failing first: given up, then failing, retrying or on a stand-in, then degraded, then the others.
function rank(c) {
  if (c.state === 'given_up') return 0;
  if (c.state === 'failing' || c.state === 'retrying' || c.state === 'standin') return 1;
  return isDegraded(c) ? 2 : 3;
}

const byText = (a, b) => a.localeCompare(b, 'zh-CN', {numeric: true});
const SORTS = {
  'name': (a, b) => byText(a.name, b.name),
  'bitrate': (a, b) => (parseInt(a.bitrate, 10) || -1) - (parseInt(b.bitrate, 10) || -1),
  'state': (a, b) => rank(a) - rank(b),
  'reencode': (a, b) => byText(a.reencode, b.reencode),
  'size': (a, b) => byText(a.size, b.size),
  'cause': (a, b) => byText(causeOf(a), causeOf(b)),
  'live-time': (a, b) => (liveSeconds(a) ?? -1) - (liveSeconds(b) ?? -1),
};

const view = {sort: 'state', desc: false, q: '', show: ''};

function readHash() {
  const hash = new URLSearchParams(location.hash.slice(1));
  view.sort = SORTS[hash.get('sort')] ? hash.get('sort') : 'state';
  view.desc = hash.get('desc') === '1';
  view.q = hash.get('q') || '';
  view.show = GROUPS[hash.get('show')] ? hash.get('show') : '';
}

function setView(change) {
  Object.assign(view, change);
  const hash = new URLSearchParams();
  if (view.sort !== 'state') hash.set('sort', view.sort);
  if (view.desc) hash.set('desc', '1');
  if (view.q) hash.set('q', view.q);
  if (view.show) hash.set('show', view.show);
  history.replaceState(null, '', hash.toString() ? '#' + hash : location.pathname + location.search);
  showView();
  if (status) showTable();
}

function showView() {
  if ($('filter').value !== view.q) $('filter').value = view.q;
  $('state-filter').value = view.show;
  $('sort-key').value = view.sort;
  setText($('sort-dir'), view.desc ? '降序' : '升序');
  for (const th of document.querySelectorAll('#channels th[data-sort]')) {
    const on = th.dataset.sort === view.sort;
    th.classList.toggle('sorted', on);
    th.classList.toggle('desc', on && view.desc);
    th.setAttribute('aria-sort', on ? (view.desc ? 'descending' : 'ascending') : 'none');
  }
  for (const button of document.querySelectorAll('#counts button')) {
    button.classList.toggle('chosen', button.dataset.show === view.show);
  }
}

function shownChannels() {
  const q = view.q.trim().toLowerCase();
  const group = GROUPS[view.show];
  const compare = SORTS[view.sort];
  const sign = view.desc ? -1 : 1;
  return status.channels
    .filter((c) => (!group || group(c)) && (!q || [c.name, causeOf(c), c.source, c.publish, ...(c.outputs || []).map((o) => o.publish)].join('\n').toLowerCase().includes(q)))
    .sort((a, b) => sign * compare(a, b) || a.id - b.id);
}
