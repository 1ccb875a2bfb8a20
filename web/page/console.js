// The web console: everything shown comes from the JSON API of the page's own server, and every
// text from it goes in with textContent, never as markup.
'use strict';

const REFRESH_MS = 2000;
const TOKEN_KEY = 'camrelay-token';
const FAILING = new Set(['failing', 'retrying', 'given_up', 'standin']);

let status = null;          // the header of the last /status answer, with channels: the list in order
let lastAnswer = 0;         // when the program last answered (ms)
let selectedId = null;      // the channel whose details are open
let token = sessionStorage.getItem(TOKEN_KEY) || '';

const $ = (id) => document.getElementById(id);

function setText(element, text) {
  element.textContent = text == null ? '' : String(text);
}

function duration(seconds) {
  if (seconds == null) return '';
  const s = Math.max(0, Math.floor(seconds));
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  if (h > 0) return h + '小时' + m + '分';
  if (m > 0) return m + '分' + (s % 60) + '秒';
  return s + '秒';
}

function clock(ms) {
  return new Date(ms).toLocaleTimeString('zh-CN', {hour12: false});
}

// With the token the program shows the stream keys in publish addresses; without it, masked.
async function getJson(url) {
  const headers = token ? {'Authorization': 'Bearer ' + token} : {};
  const response = await fetch(url, {cache: 'no-store', headers: headers});
  if (!response.ok) throw new Error(response.status + ' ' + response.statusText);
  return response.json();
}

// ---- the header and the table ----

function showHeader() {
  setText($('version'), status.version);
  setText($('data-dir'), status.data_dir);
  setText($('uptime'), duration(status.uptime_seconds));
  setText($('face'), status.face === 'window' ? '窗口' : '服务（无窗口）');
  for (const [name, test] of Object.entries(GROUPS)) {
    setText($('count-' + name), status.channels.filter(test).length);
  }
  const warnings = status.config_warnings || [];
  $('config-warnings').hidden = warnings.length === 0;
  setText($('count-warnings'), warnings.length);
  $('warnings').replaceChildren(...warnings.map((text) => Object.assign(document.createElement('li'), {textContent: text})));
}
function commandsOn() {
  return Boolean(status && status.control && token);
}

function showControls() {
  $('controls').hidden = !status.control;
  $('token-form').hidden = Boolean(token);
  $('bulk').hidden = !commandsOn();
  $('reload').hidden = !status.reload;
}

// One row per channel, kept from one refresh to the next and updated in place, so that a click
// in progress is never lost to a rebuilt table.
const rows = new Map();

function makeRow(id) {
  const row = document.createElement('tr');
  row.dataset.id = id;
  for (const name of ['name', 'bitrate', 'state', 'reencode', 'size', 'cause', 'live-time', 'commands']) {
    const td = document.createElement('td');
    td.className = name;
    row.appendChild(td);
  }
  row.addEventListener('click', () => openDetails(id));
  return row;
}

function commandButton(label, className, path) {
  const button = document.createElement('button');
  button.type = 'button';
  button.className = className;
  setText(button, label);
  button.addEventListener('click', (event) => {
    event.stopPropagation();
    command(path);
  });
  return button;
}

// Speed, frame rate, dropped frames and lost packets of a live channel, one line.
function figures(c) {
  if (!c.up) return '';
  const parts = [];
  if (c.speed != null) parts.push('速度 ' + c.speed.toFixed(2) + ' 倍实时');
  if (c.fps != null) parts.push(c.fps.toFixed(1) + ' 帧/秒');
  parts.push('丢帧 ' + c.dropped, '丢包 ' + c.lost);
  return parts.join('，');
}

function showRow(row, c) {
  row.classList.toggle('failing', FAILING.has(c.state));
  row.classList.toggle('live', c.state === 'live');
  row.classList.toggle('degraded', isDegraded(c));
  row.classList.toggle('selected', c.id === selectedId);
  const texts = [c.name, c.bitrate, c.state_text, c.reencode, c.size, causeOf(c), duration(liveSeconds(c))];
  texts.forEach((text, i) => {
    if (row.cells[i].textContent !== text) setText(row.cells[i], text);
  });
  row.cells[1].title = figures(c);
  const actions = row.cells[7];
  actions.hidden = !commandsOn();
  // 运行 for a stopped channel, 暂停 for a started one.
  const wanted = commandsOn() ? (c.running ? 'pause' : 'run') : '';
  if (actions.dataset.shows !== wanted) {
    actions.dataset.shows = wanted;
    const path = '/api/channels/' + c.id + '/' + wanted;
    actions.replaceChildren(...(wanted ? [commandButton(wanted === 'run' ? '运行' : '暂停', wanted, path)] : []));
  }
}

// The shown rows in their order, moved only where they are not; the rows filtered out are taken
// out of the table and kept.
function showTable() {
  const body = document.querySelector('#channels tbody');
  const listed = new Set(order);
  const shown = shownChannels();
  shown.forEach((c, i) => {
    if (!rows.has(c.id)) rows.set(c.id, makeRow(c.id));
    const row = rows.get(c.id);
    showRow(row, c);
    if (body.children[i] !== row) body.insertBefore(row, body.children[i] || null);
  });
  while (body.children.length > shown.length) body.lastElementChild.remove();
  for (const id of rows.keys()) if (!listed.has(id)) rows.delete(id);
  document.querySelector('#channels th.commands').hidden = !commandsOn();
  const all = status.channels.length;
  $('no-channels').hidden = all > 0;
  $('none-shown').hidden = all === 0 || shown.length > 0;
  setText($('shown'), shown.length < all ? '显示 ' + shown.length + ' / ' + all + ' 个信号' : '共 ' + all + ' 个信号');
}

async function refreshStatus() {
  try {
    takeAnswer(await getJson('/status?since=' + revision));
    lastAnswer = Date.now();
    $('offline').hidden = true;
    showHeader();
    showControls();
    showTable();
  } catch (error) {
    $('offline').hidden = false;
    setText($('offline'), 'CamRelay 没有回应' +
      (lastAnswer ? '（最后一次回应在 ' + clock(lastAnswer) + '），显示的是那时的状态' : '') + '，正在重试…');
  }
}

// ---- the log ----

async function refreshLog() {
  try {
    const log = await getJson('/api/log');
    const pre = $('log');
    const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
    setText(pre, log.lines.join('\n'));
    if (atEnd) pre.scrollTop = pre.scrollHeight;
  } catch (error) {
    // The header says that the program does not answer.
  }
}

// ---- a row's details ----

const OUTPUT_STATES = {live: '直播中', starting: '启动中', failing: '失败', stopped: '已停止'};

function byteSize(bytes) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let value = bytes, unit = 0;
  while (value >= 1024 && unit < units.length - 1) value /= 1024, unit++;
  return (unit ? value.toFixed(1) : String(value)) + ' ' + units[unit];
}

// A channel with several publish addresses: one row per address, with why its pusher fails.
function showOutputs(c) {
  const outputs = (c && c.outputs) || [];
  $('outputs-panel').hidden = outputs.length === 0;
  $('outputs').tBodies[0].replaceChildren(...outputs.map((o) => {
    const row = document.createElement('tr');
    row.className = o.state;
    const failing = o.state === 'failing';
    const state = OUTPUT_STATES[o.state] || o.state;
    for (const text of [o.output, o.publish, failing ? state + '（' + o.failures + '次）' : state,
      o.up ? o.bitrate_kbps + 'kbps' : '', byteSize(o.bytes), o.restarts,
      failing && o.failure ? o.failure.text : '']) {
      row.appendChild(Object.assign(document.createElement('td'), {textContent: String(text)}));
    }
    return row;
  }));
}

function openDetails(id) {
  selectedId = id;
  $('details').hidden = false;
  $('preview').hidden = true;
  setText($('check-message'), '');
  if (status) showTable();
  refreshDetails();
}

async function refreshDetails() {
  if (selectedId === null) return;
  const id = selectedId;
  try {
    const details = await getJson('/api/channels/' + id + '/details');
    if (id !== selectedId) return;
    setText($('details-title'), details.name);
    const c = status && status.channels.find((channel) => channel.id === id);
    setText($('health-text'), c && c.degraded ? c.health : '');
    $('health-text').hidden = !(c && c.degraded);
    setText($('figures'), c ? figures(c) : '');
    $('figures').hidden = !(c && figures(c));
    showOutputs(c);
    const failure = details.last_failure;
    setText($('failure-text'), failure ? failure.text : '没有失败记录');
    setText($('failure-lines'), failure
      ? [failure.at + '  ' + failure.how, failure.line, ...failure.lines].filter(Boolean).join('\n') : '');
    setText($('output'), details.output.length ? details.output.join('\n') : '（ffmpeg 尚无输出）');
    $('check-panel').hidden = !(status && status.preview) && !details.check;
    $('preview-button').hidden = !(status && status.preview);
    const check = details.check;
    setText($('check-report'), check ? ['检测于 ' + check.at, ...check.report].join('\n') : '');
    if (check && !check.frame && check.error) setText($('check-message'), check.error);
  } catch (error) {
    setText($('failure-text'), '无法读取详情：' + error.message);
  }
}

function closeDetails() {
  selectedId = null;
  $('details').hidden = true;
  if (status) showTable();
}

function loadPreview() {
  const id = selectedId;
  const url = '/api/channels/' + id + '/frame.jpg?t=' + Date.now();
  const image = $('preview');
  setText($('check-message'), '正在获取预览（最多约 10 秒）…');
  image.onload = () => {
    image.hidden = false;
    setText($('check-message'), '');
    refreshDetails();
  };
  // Why there is none is kept with the check in the row's details; fetching the picture again
  // could start a second check of the camera.
  image.onerror = () => {
    image.hidden = true;
    setText($('check-message'), '没有得到预览，请稍后再试');
    refreshDetails();
  };
  image.src = url;
}

// ---- commands ----

async function command(path) {
  const result = $('command-result');
  result.classList.remove('error');
  try {
    const response = await fetch(path, {method: 'POST', headers: {'Authorization': 'Bearer ' + token}});
    const answer = await response.json();
    if (response.status === 401) forgetToken();
    // "saved": false: the command took effect but config.ini could not be written (yet).
    result.classList.toggle('error', !response.ok || answer.saved === false);
    setText(result, response.ok ? answer.message + (answer.warning ? '。' + answer.warning : '')
                                : (answer.error || response.statusText));
  } catch (error) {
    result.classList.add('error');
    setText(result, '命令没有送达：' + error.message);
  }
  refreshStatus();
  refreshLog();
  refreshDetails();
}

// Asked before a command that touches every channel, naming how many it would start or stop.
function bulkCommand(path, verb, affected, question) {
  const all = status ? status.channels : [];
  if (!confirm(verb + '：' + question(all.filter(affected).length) + '（共 ' + all.length + ' 个信号）。确定吗？')) {
    setText($('command-result'), '已取消' + verb);
    return;
  }
  command(path);
}

// The token changes what the program shows (stream keys): everything is asked for again.
function forgetToken() {
  token = '';
  revision = 0;
  sessionStorage.removeItem(TOKEN_KEY);
  if (status) {
    showControls();
    showTable();
  }
}

// ---- start ----

function every(ms, task) {
  const run = async () => {
    await task();
    setTimeout(run, ms);
  };
  run();
}

document.addEventListener('DOMContentLoaded', () => {
  $('token-form').addEventListener('submit', (event) => {
    event.preventDefault();
    token = $('token').value.trim();
    revision = 0;
    $('token').value = '';
    if (token) sessionStorage.setItem(TOKEN_KEY, token);
    setText($('command-result'), token ? '命令已启用' : '');
    if (status) {
      showControls();
      showTable();
    }
  });
  $('forget-token').addEventListener('click', () => {
    forgetToken();
    setText($('command-result'), '令牌已清除');
  });
  $('run-all').addEventListener('click', () => bulkCommand('/api/run-all', '全部运行', (c) => !c.running,
    (n) => '将启动 ' + n + ' 个已暂停的信号'));
  $('pause-all').addEventListener('click', () => bulkCommand('/api/pause-all', '全部暂停', (c) => c.running,
    (n) => '将暂停 ' + n + ' 个正在运行的信号，它们的推流会中断'));
  $('reload').addEventListener('click', () => command('/api/reload'));
  $('details-close').addEventListener('click', closeDetails);
  $('preview-button').addEventListener('click', loadPreview);
  readHash();
  showView();
  $('filter').addEventListener('input', () => setView({q: $('filter').value}));
  $('state-filter').addEventListener('change', () => setView({show: $('state-filter').value}));
  $('sort-key').addEventListener('change', () => setView({sort: $('sort-key').value, desc: false}));
  $('sort-dir').addEventListener('click', () => setView({desc: !view.desc}));
  // A header sorts by its column; again, the other way round.
  for (const th of document.querySelectorAll('#channels th[data-sort]')) {
    th.addEventListener('click', () => setView({sort: th.dataset.sort, desc: view.sort === th.dataset.sort && !view.desc}));
  }
  // A count shows only its channels; again, all of them.
  for (const button of document.querySelectorAll('#counts button')) {
    button.addEventListener('click', () => setView({show: view.show === button.dataset.show ? '' : button.dataset.show}));
  }
  window.addEventListener('hashchange', () => {
    readHash();
    showView();
    if (status) showTable();
  });
  every(REFRESH_MS, refreshStatus);
  every(REFRESH_MS, refreshLog);
  every(REFRESH_MS, refreshDetails);
});

// For the page's other scripts: ask for the status, the log and the open details at once.
window.camrelay = {
  refresh() {
    refreshStatus();
    refreshLog();
    refreshDetails();
  },
};
