#!/usr/bin/python3
"""Managing channels from the web console in a real browser (Debian's chromium + chromedriver
through Selenium) against the real headless service with a control token, the RTSP camera
simulator and a private nginx-rtmp (the set-up of web_console_test.py).

添加信号: a channel pointing at the simulator with a password that needs percent-encoding is
checked (the frame and the report show), saved after the password question, and goes live.
编辑 renames it without restarting its ffmpeg; 复制 saves a copy under "-副本" that keeps the
password it never showed, with an extra publish address its 编辑 form shows; 删除 (confirmed) ends its ffmpeg and marks it deleted in config.ini.
导入CSV… takes a GBK file: its report names the bad row, the check refuses a camera that does not
answer, 导入 stores the good one, which goes live; 导出CSV holds no password. No password appears in
the page, in an input or in the program's answers.

Exit 0: passed, 1: failed, 77: skipped (the browser cannot start here).

  web_manage_test.py --bin BUILD/bin --scripts SCRIPTS [--screenshot PNG]
"""
import json
import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_console_test import (Group, SKIP, browser_run, check, http, open_browser, relays,  # noqa: E402
                              wait_for)

TOKEN = 'web-manage-test-token-0123456789'
PASSWORD = 'pa:ss9'          # ':' splits a user-info: the page offers the encoded form
ENCODED = 'pa%3Ass9'


def state(port, id):
    channels = json.loads(http(port, '/status')[1])['channels']
    return next((c for c in channels if c['id'] == id), {}).get('state')


def stored(data):
    with open(os.path.join(data, 'config.ini'), encoding='utf-8') as f:
        return f.read()


def manage(driver, port, data, rtmp, camera, screenshot):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By
    find = driver.find_element
    field = lambda name: find(By.CSS_SELECTOR, '#manage-form input[name="%s"]' % name)

    def type_into(name, text):
        field(name).clear()
        field(name).send_keys(text)

    def answer_question():
        def alert():
            try:
                return driver.switch_to.alert
            except NoAlertPresentException:
                return None
        wait_for(alert, 10, 'the question').accept()

    def click_in_row(id, kind):
        button = wait_for(lambda: find(By.CSS_SELECTOR, '#channels tr[data-id="%d"] button.%s' % (id, kind)), 10,
                          'the row\'s %s button' % kind)
        button.click()
        wait_for(lambda: kind == 'delete' or find(By.ID, 'manage').get_attribute('open') is not None, 10, 'the form')

    def inputs():
        return driver.execute_script('return [...document.querySelectorAll("input, textarea")].map(i => i.value).join(" ")')

    driver.get('http://127.0.0.1:%d/' % port)
    wait_for(lambda: find(By.ID, 'token').is_displayed(), 10, 'the token field')
    find(By.ID, 'token').send_keys(TOKEN)
    find(By.CSS_SELECTOR, '#token-form button').click()

    # 添加信号, with a check of the source before saving.
    wait_for(lambda: find(By.CSS_SELECTOR, '#bulk button.add').is_displayed(), 10, 'the add button')
    find(By.CSS_SELECTOR, '#bulk button.add').click()
    wait_for(lambda: field('name').is_displayed(), 10, 'the form')
    check(field('video').is_selected() and field('width').get_attribute('value') == '320', 'a new channel\'s values')
    type_into('name', '新门口')
    type_into('source', camera.replace('rtsp://', 'rtsp://user:%s@' % PASSWORD))
    type_into('publish', '%s/web1' % rtmp)
    find(By.ID, 'manage-check').click()
    wait_for(lambda: driver.execute_script('const i = document.getElementById("manage-frame");'
                                           'return !i.hidden && i.complete && i.naturalWidth;'), 45, 'the check\'s frame')
    check('视频：H.264' in find(By.ID, 'manage-report').text, 'the check\'s report: ' + find(By.ID, 'manage-report').text)
    if screenshot:
        os.makedirs(os.path.dirname(screenshot), exist_ok=True)
        driver.save_screenshot(screenshot)
    find(By.ID, 'manage-save').click()
    answer_question()
    wait_for(lambda: state(port, 1) == 'live', 60, 'the added channel live')
    check('1+SignalName=%s' % camera.replace('rtsp://', 'rtsp://user:%s@' % ENCODED) in stored(data),
          'the encoded address was not stored')
    pids = relays('%s/web1' % rtmp)
    check(PASSWORD not in inputs(), 'the typed password stays in the closed form')

    # 编辑: the address shows no password; a rename keeps the running ffmpeg.
    click_in_row(1, 'edit')
    shown = field('source').get_attribute('value')
    check('***' in shown and 'pa' not in shown.split('@')[0], 'the edit form shows the password: ' + shown)
    type_into('name', '新门口2')
    find(By.ID, 'manage-save').click()
    wait_for(lambda: driver.execute_script('return document.querySelector(\'#channels tr[data-id="1"] td\').textContent')
             == '新门口2', 10, 'the renamed row')
    check('1+Name=新门口2' in stored(data) and relays('%s/web1' % rtmp) == pids, 'the rename restarted or was not stored')

    # 复制: the copy keeps the stored password it was shown as ***; it gets an extra publish
    # address (blank lines and blanks around it left out), which its 编辑 form shows again.
    click_in_row(1, 'copy')
    check(field('name').get_attribute('value') == '新门口2-副本', 'the copy\'s name')
    type_into('publish', '%s/web2' % rtmp)
    extra = find(By.CSS_SELECTOR, '#manage-form textarea[name="extra_publish"]')
    extra.send_keys('\n  %s/web2b \n' % rtmp)
    find(By.ID, 'manage-save').click()
    wait_for(lambda: state(port, 2) == 'live', 60, 'the copy live')
    check('2+SignalName=%s' % camera.replace('rtsp://', 'rtsp://user:%s@' % ENCODED) in stored(data),
          'the copy lost the password')
    check('2+Adress2=%s/web2b\n' % rtmp in stored(data), 'the extra publish address was not stored')
    click_in_row(2, 'edit')
    check(extra.get_attribute('value') == '%s/web2b' % rtmp, 'the edit form\'s extra addresses: ' + extra.get_attribute('value'))
    find(By.ID, 'manage-cancel').click()

    # 删除, confirmed.
    click_in_row(1, 'delete')
    answer_question()
    wait_for(lambda: '1+ISDelete=true' in stored(data), 15, 'the deletion stored')
    check(not relays('%s/web1' % rtmp) and relays('%s/web2' % rtmp), 'the deletion ended the wrong ffmpeg')

    for text in [driver.page_source, inputs(), http(port, '/status')[1], http(port, '/api/log')[1],
                 http(port, '/api/channels/2/settings', headers={'Authorization': 'Bearer ' + TOKEN})[1]]:
        check(PASSWORD not in text and ENCODED not in text and 'ss9' not in text, 'a password shows: ' + text[:2000])


def csv_import(driver, port, data, rtmp, camera, folder):
    from selenium.webdriver.common.by import By
    find = driver.find_element
    path = os.path.join(folder, '导入.csv')
    with open(path, 'wb') as f:
        f.write(('名称,信号源地址,发布地址,状态\r\n侧门,%s,%s/csv1,运行中\r\n坏行,,%s/csv2,暂停中\r\n'
                 '不通,rtsp://127.0.0.1:1/x,%s/csv3,暂停中\r\n' % (camera, rtmp, rtmp, rtmp)).encode('gbk'))
    driver.execute_script('document.getElementById("csv-file").hidden = false')
    find(By.ID, 'csv-file').send_keys(path)
    report = lambda: find(By.ID, 'csv-report').text
    wait_for(lambda: '第 3 行（坏行）' in report() and '信号源地址' in report(), 15, 'the report of the bad row')
    check(find(By.ID, 'csv-store').text == '导入 2 个信号', 'storable before the check: ' + find(By.ID, 'csv-store').text)
    find(By.ID, 'csv-check').click()
    wait_for(lambda: find(By.ID, 'csv-store').text == '导入 1 个信号' and not find(By.ID, 'csv-store').get_property('disabled'),
             90, 'the check refusing the camera that does not answer: ' + report())
    find(By.ID, 'csv-store').click()
    wait_for(lambda: '3+Name=侧门' in stored(data), 15, 'the good row stored')
    check('不通' not in stored(data) and '坏行' not in stored(data), 'a refused row was stored')
    wait_for(lambda: state(port, 3) == 'live', 60, 'the imported channel live')
    find(By.ID, 'csv-close').click()
    exported = driver.execute_async_script(
        'fetch("/api/channels.csv", {headers: {Authorization: "Bearer " + arguments[0]}})'
        '.then((r) => r.text()).then(arguments[1])', TOKEN)
    check('侧门' in exported and 'user:***@' in exported and PASSWORD not in exported and ENCODED not in exported,
          'the export: ' + exported[:2000])
    check(http(port, '/api/channels-with-passwords.csv')[0] == 401, 'the list with passwords given without the token')


def manage_test(site):
    data = site.data
    with open(os.path.join(data, 'config.ini'), 'w', encoding='utf-8') as f:
        f.write('[SET DEFAULT VALUE]\nnextId=1\nm_bRTSPuseTCP=1\n0+Name=门口\n0+strAVState=暂停中\n'
                '0+SignalName=%s\n0+Adress=%s/cam0\n' % (site.camera, site.rtmp))
    token = os.path.join(site.root, 'token')
    with open(os.open(token, os.O_WRONLY | os.O_CREAT, 0o600), 'w') as f:
        f.write(TOKEN + '\n')
    with socket.create_server(('127.0.0.1', 0)) as free:
        port = free.getsockname()[1]
    service = Group([site.binary, '--headless', '--dir', data, '--status-port', str(port),
                     '--control-token-file', token], site.log)
    site.started.append(service)

    def answers():
        try:
            return http(port, '/status')[0] == 200
        except OSError:
            check(service.proc.poll() is None, 'the service ended with %s' % service.proc.returncode)
            return None
    wait_for(answers, 30, 'the service\'s endpoint')
    site.driver = open_browser()
    if site.driver is None:
        return SKIP
    manage(site.driver, port, data, site.rtmp, site.camera, site.args.screenshot)
    csv_import(site.driver, port, data, site.rtmp, site.camera, site.root)
    check(service.stop() == 0, 'the service did not end cleanly')


if __name__ == '__main__':
    sys.exit(browser_run('camrelay-manage-', 'web manage', manage_test))
