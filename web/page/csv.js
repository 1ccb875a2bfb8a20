// The channel list as CSV from the web console, with the control token: 导出CSV downloads it
// (passwords only when asked), 导入CSV… shows the report of every row, optionally after checking
// each source, and stores the good rows only after 导入.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const token = () => sessionStorage.getItem('camrelay-token') || '';
  const say = (element, text) => { element.textContent = text == null ? '' : String(text); };
  let file = null, skip = '';   // the chosen file's bytes as a form value; the lines the check refused

  // The file's bytes percent-encoded one by one: the program reads UTF-8 and GBK alike.
  function formValue(bytes) {
    let text = '';
    for (const byte of bytes) text += '%' + (byte < 16 ? '0' : '') + byte.toString(16);
    return text;
  }

  async function post(fields) {
    const body = 'csv=' + file + Object.entries(fields).map(([k, v]) => '&' + k + '=' + encodeURIComponent(v)).join('');
    const response = await fetch('/api/import-csv', {method: 'POST', cache: 'no-store', body: body, headers: {
      'Authorization': 'Bearer ' + token(), 'Content-Type': 'application/x-www-form-urlencoded'}});
    let answer = {};
    try { answer = await response.json(); } catch (error) { answer = {error: response.status + ' ' + response.statusText}; }
    return answer;
  }

  function show(answer, stored) {
    say($('csv-report'), answer.error ? answer.error : answer.report.join('\n'));
    const storable = answer.error || stored ? 0 : answer.storable;
    say($('csv-store'), '导入 ' + storable + ' 个信号');
    $('csv-store').disabled = !storable;
    $('csv-check').disabled = Boolean(answer.error || stored);
  }

  async function run(fields, busy) {
    say($('csv-message'), busy);
    for (const button of ['csv-check', 'csv-store']) $(button).disabled = true;
    try {
      const answer = await post(fields);
      if (fields.check && answer.refused) skip = answer.refused.join(',');
      show(answer, fields.store && !answer.error);
      say($('csv-message'), fields.store && !answer.error
        ? '已导入；' + (answer.queued ? answer.queued + ' 个“运行中”的信号依次启动' : '状态为“暂停中”的信号可用“全部运行”启动') : '');
      if (fields.store && window.camrelay && window.camrelay.refresh) window.camrelay.refresh();
    } catch (error) {
      say($('csv-message'), '请求没有送达：' + error.message);
    }
  }

  async function choose(event) {
    const chosen = event.target.files[0];
    event.target.value = '';
    if (!chosen) return;
    file = formValue(new Uint8Array(await chosen.arrayBuffer()));
    skip = '';
    say($('csv-title'), '导入CSV：' + chosen.name);
    $('csv-import').showModal();
    run({}, '正在读取……');
  }

  async function download() {
    const passwords = confirm('导出的地址是否包含密码？\n选“取消”时密码写作 ***，这样的行不能再导入。');
    const response = await fetch(passwords ? '/api/channels-with-passwords.csv' : '/api/channels.csv',
                                 {cache: 'no-store', headers: {'Authorization': 'Bearer ' + token()}});
    if (!response.ok) {
      say($('command-result'), '导出CSV失败：' + response.status);
      return;
    }
    const link = Object.assign(document.createElement('a'),
                               {href: URL.createObjectURL(await response.blob()), download: 'camrelay-channels.csv'});
    link.click();
    URL.revokeObjectURL(link.href);
    say($('command-result'), passwords ? '已导出CSV（含密码，请妥善保管）' : '已导出CSV（密码写作 ***）');
  }

  document.addEventListener('DOMContentLoaded', () => {
    const button = (label, id, action) => Object.assign(document.createElement('button'),
                                                        {type: 'button', id: id, textContent: label, onclick: action});
    $('bulk').append(button('导入CSV…', 'csv-open', () => $('csv-file').click()), button('导出CSV', 'csv-export', download));
    $('csv-file').addEventListener('change', choose);
    $('csv-check').addEventListener('click', () => run({check: '1'}, '正在检测每个信号源（同时 4 个，数百个需要几分钟）……'));
    $('csv-store').addEventListener('click', () => run({store: '1', skip: skip}, '正在导入……'));
    $('csv-close').addEventListener('click', () => $('csv-import').close());
  });
})();
