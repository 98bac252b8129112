#!/usr/bin/python3
"""Drives the web console in headless Chromium against a running gateway.

    /usr/bin/python3 tests/console/console_browser.py --url http://127.0.0.1:8080/console/ \
        --user demo --password demo-password [--screenshots DIR] [unittest options]

The user must be allowed to run these aliases (as in examples/aliases):
  greet      parameter name: required string; prints "Hello, <name>!"
  bundle     parameter count: integer, max 20; a directory output out/ holding file-1.txt ... file-N.txt
  countdown  parameter seconds: integer; prints a line a second
Run with Debian's /usr/bin/python3 (python3-selenium); chromium and chromium-driver must be installed.
"""
import argparse
import io
import json
import os
import shutil
import sys
import tempfile
import time
import unittest
import zipfile

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

ARGS = None
FINISHED = {'succeeded', 'failed', 'timed_out', 'cancelled', 'interrupted'}


def start_browser(download_dir, profile_dir):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    # Without these, Chromium's own connections stall or fail on a closed network.
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', f'--user-data-dir={profile_dir}', '--window-size=1280,1000'):
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    options.add_experimental_option('prefs', {
        'download.default_directory': download_dir,
        'download.prompt_for_download': False,
    })
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    driver.execute_cdp_cmd('Browser.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': download_dir})
    return driver


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='console-browser-')
        cls.downloads = os.path.join(cls.tmp, 'downloads')
        os.mkdir(cls.downloads)
        cls.driver = start_browser(cls.downloads, os.path.join(cls.tmp, 'profile'))

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def tearDown(self):
        # A script error or a policy violation breaks the page without failing any step above.
        faults = [e['message'] for e in self.driver.get_log('browser')
                  if any(w in e['message'] for w in ('Content Security Policy', 'TrustedHTML', 'Uncaught'))]
        self.assertEqual(faults, [])

    # ---- helpers ----

    def wait(self, condition, timeout=20, message=''):
        return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(lambda d: condition(), message)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def finds(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def visible(self, css):
        els = self.finds(css)
        return bool(els) and els[0].is_displayed()

    def open_console(self, width=1280):
        self.driver.set_window_size(width, 1000)
        self.driver.get(ARGS.url)
        self.wait(lambda: self.visible('#signin'), message='sign-in form')

    def sign_in(self, password=None):
        form = self.find('form#signin')
        form.find_element(By.NAME, 'user').clear()
        form.find_element(By.NAME, 'user').send_keys(ARGS.user)
        form.find_element(By.NAME, 'password').clear()
        form.find_element(By.NAME, 'password').send_keys(ARGS.password if password is None else password)
        form.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()

    def signed_in(self):
        self.open_console()
        self.sign_in()
        self.wait(lambda: self.visible('form[data-alias]'), message='alias forms after sign-in')

    def alias_form(self, alias):
        forms = self.finds(f'form[data-alias="{alias}"]')
        self.assertTrue(forms, f'no form for alias {alias}; is the user allowed to run it?')
        return forms[0]

    def fill(self, alias, **values):
        form = self.alias_form(alias)
        for name, value in values.items():
            field = form.find_element(By.NAME, name)
            field.clear()
            field.send_keys(str(value))
        return form

    def start(self, alias, **values):
        self.fill(alias, **values).find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        self.wait(lambda: self.visible('[data-job-status]') and self.find('#job-alias').text == alias,
                  message=f'job panel for {alias}')
        return self.find('#job-id').text

    def status(self):
        return self.find('[data-job-status]').get_attribute('data-job-status')

    def wait_finished(self, timeout=30):
        self.wait(lambda: self.status() in FINISHED, timeout, 'job to finish')
        return self.status()

    def pane(self, stream):
        return self.find(f'[data-stream="{stream}"]').get_attribute('textContent')

    # ---- tests ----

    def test_helpers(self):
        """Stream parsing and output cleaning, fed the awkward splits a network produces."""
        self.open_console()
        self.driver.set_script_timeout(120)
        got = self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            import(new URL('lib.js', location.href)).then((lib) => {
              const feed = (chunks) => {
                const p = new lib.SseParser();
                return chunks.flatMap((c) => p.push(c));
              };
              const strip = (chunks) => {
                const s = new lib.AnsiStripper();
                return chunks.map((c) => s.push(c)).join('') + s.flush();
              };
              done({
                crlfSplit: feed(['event: stdout\\r', '\\ndata: "a"\\r', '\\n\\r', '\\nevent: end\\r\\ndata: {}\\r\\n\\r\\n']),
                crOnly: feed(['event: status\\rdata: 1\\rdata: 2\\r\\r']),
                comments: feed([': keep-alive\\n\\n', 'data:x\\n', '\\n', 'data: y']),
                ansiSplit: strip(['\\x1b[1;3', '1mred\\x1b', '[0m plain\\x1b]0;title\\x07\\r\\n', 'next\\x07\\x1b']),
                ansiWhole: lib.stripAnsi('a\\x1b[?25lb\\x1b(Bc\\x9b2Kd\\tz\\r\\n'),
                auth: lib.basicAuthorization('ünï', 'p:w'),
                json: lib.paramsJson([['big', new lib.RawJson('9007199254740993')], ['s', 'x"y'], ['b', false]]),
                errors: (() => {
                  const r = lib.splitErrors(['count must be at most 20', 'countdown is required', 'other'], ['count', 'countdown']);
                  return {count: r.byField.get('count'), countdown: r.byField.get('countdown'), rest: r.rest};
                })(),
                patterns: ['/[A-Za-z0-9_./-]*', 'v[0-9]+', '(?P<x>a)'].map((p) => {
                  const c = lib.compilePattern(p);
                  return [c.attribute ?? null, c.regex ? c.regex.test('/var/log') || c.regex.test('v12') : null];
                }),
                lengths: lib.codePoints('a😀é'),
                bigEvent: (() => {
                  const p = new lib.SseParser();
                  const text = `event: end\ndata: "${'x'.repeat(32 << 20)}"\n\n`;
                  const t0 = performance.now();
                  const events = [];
                  for (let i = 0; i < text.length; i += 16384) events.push(...p.push(text.slice(i, i + 16384)));
                  return {ms: performance.now() - t0, count: events.length, size: events[0].data.length};
                })(),
              });
            }, (e) => done({error: String(e)}));
        """)
        self.assertNotIn('error', got, got.get('error'))
        self.assertEqual(got['crlfSplit'], [{'event': 'stdout', 'data': '"a"'}, {'event': 'end', 'data': '{}'}])
        self.assertEqual(got['crOnly'], [{'event': 'status', 'data': '1\n2'}])
        self.assertEqual(got['comments'], [{'event': 'message', 'data': 'x'}])  # an unfinished event is not sent
        self.assertEqual(got['ansiSplit'], 'red plain\nnext')
        self.assertEqual(got['ansiWhole'], 'abcd\tz\n')
        self.assertEqual(got['auth'], 'Basic ' + __import__('base64').b64encode('ünï:p:w'.encode()).decode())
        self.assertEqual(json.loads(got['json'], parse_int=str), {'big': '9007199254740993', 's': 'x"y', 'b': False})
        self.assertEqual(got['errors'], {'count': ['count must be at most 20'],
                                         'countdown': ['countdown is required'], 'rest': ['other']})
        # RE2 spellings the browser's "v" flag refuses are still checked; unknown syntax is left to the server.
        self.assertEqual(got['patterns'], [[None, True], ['v[0-9]+', True], [None, None]])
        self.assertEqual(got['lengths'], 3)
        # An end event carries the whole result; in small chunks it must still parse in linear time
        # (rescanning the held text per chunk took minutes for this one).
        big = got['bigEvent']
        self.assertEqual((big['count'], big['size']), (1, (32 << 20) + 2))
        self.assertLess(big['ms'], 15000)

    def test_sign_in(self):
        """Wrong password refused in the page (no browser dialog); credentials never stored; keyboard only."""
        self.open_console()
        self.sign_in(password='not-the-password')
        self.wait(lambda: self.find('#signin-error').text != '', message='sign-in refusal')
        self.assertIn('Wrong user name or password', self.find('#signin-error').text)
        self.assertFalse(self.visible('#app'))

        # Keyboard only: the user field has focus; Tab to the password, Enter to submit.
        user = self.find('form#signin [name=user]')
        user.clear()
        self.find('form#signin [name=password]').clear()
        user.click()
        self.driver.switch_to.active_element.send_keys(ARGS.user, Keys.TAB)
        self.driver.switch_to.active_element.send_keys(ARGS.password, Keys.ENTER)
        self.wait(lambda: self.visible('form[data-alias]'), message='aliases after keyboard sign-in')
        stored = self.driver.execute_script(
            'return [localStorage.length, sessionStorage.length, document.cookie,'
            ' document.querySelector("#signin [name=password]").value];')
        self.assertEqual(stored, [0, 0, '', ''])

        self.find('#signout').click()
        self.wait(lambda: self.visible('#signin'), message='sign-in form after sign-out')
        self.assertEqual(self.finds('form[data-alias]'), [])

    def test_validation_messages(self):
        """A bad value is refused beside its field: by the browser, and by the gateway when the browser lets it through."""
        self.signed_in()
        form = self.fill('bundle', count=50)
        form.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        error = form.find_element(By.CSS_SELECTOR, '.field-error')
        self.wait(lambda: error.text != '', message='browser validation message')
        self.assertFalse(self.visible('#job'), 'an invalid form must not start a job')
        self.assertEqual(form.find_element(By.NAME, 'count').get_attribute('aria-invalid'), 'true')

        # The gateway's own check, with the browser's turned off.
        self.driver.execute_script('arguments[0].noValidate = true;', form)
        form.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        self.wait(lambda: 'count must be at most 20' in error.text, message='gateway validation message')
        self.assertFalse(self.visible('#job'))

        greet = self.alias_form('greet')
        self.driver.execute_script('arguments[0].noValidate = true;', greet)
        greet.find_element(By.NAME, 'name').clear()
        greet.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        self.wait(lambda: 'name is required' in greet.find_element(By.CSS_SELECTOR, '.field-error').text,
                  message='required message')

    def test_run_greet(self):
        """Output arrives in its pane as text, never as markup; the job is in the history and can be reopened."""
        self.signed_in()
        name = '<b id="injected">Ada</b> & "friends" ✓'
        job_id = self.start('greet', name=name)
        self.assertEqual(self.wait_finished(), 'succeeded')
        self.assertEqual(self.pane('stdout'), f'Hello, {name}!\n')
        self.assertEqual(self.finds('#injected'), [])
        self.assertEqual(self.find('#job-exit').text, '0')
        self.assertNotEqual(self.find('#job-duration').text, '')
        shown = self.find('#app').text
        for slip in ('undefined', 'null', 'NaN', '[object Object]'):
            self.assertNotIn(slip, shown, 'a missing value was printed')

        item = f'.history-item[data-job-id="{job_id}"]'
        self.wait(lambda: self.finds(item), message='the job in the history')
        self.find('[data-action="close"]').click()
        self.assertFalse(self.visible('#job'))
        self.find(item).click()
        self.wait(lambda: self.visible('#job') and self.status() == 'succeeded'
                  and self.pane('stdout') == f'Hello, {name}!\n', message='reopened job')

    def test_download_zip(self):
        """A directory output becomes a .zip download holding the files the command wrote."""
        self.signed_in()
        self.start('bundle', count=2)
        self.assertEqual(self.wait_finished(), 'succeeded')
        link = self.find('#job-files a[download]')
        self.assertTrue(link.get_attribute('download').endswith('.zip'))
        self.assertTrue(link.get_attribute('href').startswith('blob:'))
        before = set(os.listdir(self.downloads))
        link.click()

        def downloaded():
            new = [f for f in set(os.listdir(self.downloads)) - before if f.endswith('.zip')]
            return new[0] if new else None
        name = self.wait(downloaded, message='the ZIP download')
        with open(os.path.join(self.downloads, name), 'rb') as f:
            archive = zipfile.ZipFile(io.BytesIO(f.read()))
        self.assertEqual(sorted(archive.namelist()), ['file-1.txt', 'file-2.txt'])
        self.assertEqual(archive.read('file-2.txt'), b'file 2\n')

    def test_cancel_long_job(self):
        """Output of a long job shows while it runs; cancel ends it as cancelled."""
        self.signed_in()
        self.start('countdown', seconds=90)
        self.wait(lambda: self.status() == 'running', message='running status')
        self.wait(lambda: self.pane('stdout').strip() != '', message='live output')
        cancel = self.find('[data-action="cancel"]')
        self.assertTrue(cancel.is_displayed())
        cancel.click()
        self.assertEqual(self.wait_finished(timeout=20), 'cancelled')
        self.assertFalse(cancel.is_displayed())

    def test_narrow_screen(self):
        """At 375 px nothing needs sideways scrolling, with a job and its output on screen."""
        self.driver.set_window_size(375, 800)
        self.driver.get(ARGS.url)
        self.wait(lambda: self.visible('#signin'))
        self.sign_in()
        self.wait(lambda: self.visible('form[data-alias]'))
        self.start('greet', name='x' * 60)
        self.wait_finished()
        width = self.driver.execute_script('return [document.documentElement.scrollWidth, window.innerWidth];')
        self.assertLessEqual(width[0], width[1], 'the page scrolls sideways at 375 px')
        if ARGS.screenshots:
            self.driver.save_screenshot(os.path.join(ARGS.screenshots, 'console-375.png'))
            self.driver.set_window_size(1280, 1000)
            self.driver.save_screenshot(os.path.join(ARGS.screenshots, 'console-1280.png'))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--url', default='http://127.0.0.1:8080/console/', help='the console URL')
    parser.add_argument('--user', default='demo')
    parser.add_argument('--password', default='demo-password')
    parser.add_argument('--screenshots', help='save screenshots at 375 and 1280 px into this directory')
    ARGS, rest = parser.parse_known_args()
    if not ARGS.url.endswith('/'):
        ARGS.url += '/'
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
