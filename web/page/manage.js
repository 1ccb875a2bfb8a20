// The web console's channel form: add, edit, copy and delete a channel, and check a source
// before it is saved, with the control token. Passwords never reach the page: the program
// shows them as *** and keeps the stored one when an address comes back unchanged.
'use strict';

(() => {
  const TOKEN_KEY = 'camrelay-token';
  const $ = (id) => document.getElementById(id);
  const token = () => sessionStorage.getItem(TOKEN_KEY) || '';
  const say = (element, text) => { element.textContent = text == null ? '' : String(text); };

  // What the form is for: a new channel (from: the copied one) or channel `edit`.
  let editing = null, from = null;

  async function ask(path, fields) {
    const options = {cache: 'no-store', headers: {'Authorization': 'Bearer ' + token()}};
    if (fields) {
      options.method = 'POST';
      options.body = new URLSearchParams(fields);
    }
    const response = await fetch(path, options);
    let answer = {};
    try {
      answer = await response.json();
    } catch (error) {
      answer = {error: response.status + ' ' + response.statusText};
    }
    return {status: response.status, answer: answer};
  }

  function refresh() {
    if (window.camrelay && window.camrelay.refresh) window.camrelay.refresh();
    else if (typeof refreshStatus === 'function') refreshStatus();
  }

  function result(text, failed) {
    const element = $('command-result');
    element.classList.toggle('error', Boolean(failed));
    say(element, text);
  }

  // ---- the form ----

  const NAMED = 'input[name], select[name], textarea[name]';

  // A list (the extra publish addresses) shows one item a line.
  function fill(values) {
    const form = $('manage-form');
    for (const input of form.querySelectorAll(NAMED)) {
      const value = values[input.name];
      if (input.type === 'checkbox') input.checked = Boolean(value);
      else input.value = value == null ? '' : Array.isArray(value) ? value.join('\n') : String(value);
    }
  }

  function fields() {
    const values = {};
    for (const input of $('manage-form').querySelectorAll(NAMED)) {
      if (input.type === 'checkbox') values[input.name] = input.checked ? '1' : '0';
      else if (input.tagName === 'TEXTAREA')
        values[input.name] = input.value.split('\n').map((line) => line.trim()).filter(Boolean).join('\n');
      else values[input.name] = input.value.trim();
    }
    if (from !== null) values.from = String(from);
    return values;
  }

  async function openForm(mode, id) {
    editing = mode === 'edit' ? id : null;
    from = mode === 'add' ? null : id;
    say($('manage-title'), mode === 'edit' ? '编辑' : mode === 'copy' ? '复制信号' : '导入信号');
    for (const name of ['manage-error', 'manage-check-message', 'manage-report']) say($(name), '');
    $('manage-frame').hidden = true;
    const {status, answer} = await ask(mode === 'add' ? '/api/new-channel' : '/api/channels/' + id + '/settings');
    if (status !== 200) {
      result(answer.error || String(status), true);
      return;
    }
    // As the wizard's 复制信号: the copy's name ends in -副本.
    if (mode === 'copy') answer.name += '-副本';
    fill(answer);
    $('manage').showModal();
  }

  async function check() {
    const message = $('manage-check-message'), frame = $('manage-frame');
    frame.hidden = true;
    say($('manage-report'), '');
    say(message, '正在检测信号源……（最多约30秒）');
    $('manage-check').disabled = true;
    try {
      const values = fields();
      const {status, answer} = await ask('/api/check', {source: values.source, ...(from !== null ? {from: values.from} : {})});
      say(message, status === 200 ? answer.error : answer.error || String(status));
      say($('manage-report'), (answer.report || []).join('\n'));
      if (answer.frame) {
        frame.onload = () => { frame.hidden = false; };
        frame.src = answer.frame;
      }
    } catch (error) {
      say(message, '检测没有送达：' + error.message);
    } finally {
      $('manage-check').disabled = false;
    }
  }

  async function save(extra) {
    const path = editing !== null ? '/api/channels/' + editing + '/edit' : '/api/channels';
    const {status, answer} = await ask(path, {...fields(), ...(extra || {})});
    // A password with characters that split the address: asked as the wizard asks.
    if (status === 409 && answer.question) {
      save({password_advice: confirm(answer.question) ? 'encode' : 'keep'});
      return;
    }
    if (status !== 200) {
      say($('manage-error'), answer.error || String(status));
      return;
    }
    $('manage').close();
    result(answer.message + (answer.warning ? '。' + answer.warning : ''), answer.saved === false);
    refresh();
  }

  async function remove(id, name) {
    if (!confirm('确定删除信号“' + name + '”？')) return;
    const {status, answer} = await ask('/api/channels/' + id + '/delete', {});
    result(status === 200 ? answer.message : answer.error || String(status), status !== 200);
    refresh();
  }

  // ---- the buttons ----

  function button(label, className, action) {
    const element = document.createElement('button');
    element.type = 'button';
    element.className = className;
    say(element, label);
    element.addEventListener('click', (event) => {
      event.stopPropagation();
      action();
    });
    return element;
  }

  // Each row's 编辑, 复制 and 删除 after the console's own buttons, put back whenever the
  // table redraws its command cell (which it shows only with the token).
  function addRowButtons() {
    for (const row of document.querySelectorAll('#channels tbody tr[data-id]')) {
      const cell = row.querySelector('td.commands');
      if (!cell || cell.querySelector('button.edit')) continue;
      const id = Number(row.dataset.id);
      const name = () => row.querySelector('td.name').textContent;
      cell.append(button('编辑', 'edit', () => openForm('edit', id)), button('复制', 'copy', () => openForm('copy', id)),
                  button('删除', 'delete', () => remove(id, name())));
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('bulk').prepend(button('添加信号', 'add', () => openForm('add', null)));
    $('manage-check').addEventListener('click', check);
    $('manage-save').addEventListener('click', () => save());
    $('manage-cancel').addEventListener('click', () => $('manage').close());
    // A password typed into the form does not stay in the page once the form is closed.
    $('manage').addEventListener('close', () => $('manage-form').reset());
    new MutationObserver(addRowButtons).observe(document.querySelector('#channels tbody'), {childList: true, subtree: true});
  });
})();
