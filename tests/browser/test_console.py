"""The administrator's console in headless Chromium, against a real dblinkd seeded with the
made-up site of seed_site.py (its history written through the requester port). Every
expected value is worked out from the generator's own rows, never read back from the service.

Environment: PLX_DBLINKD (the host build's dblinkd), PLX_SCREENSHOTS (folder for the pages'
screenshots). Exits with 77 (skipped) when Chromium or its driver is not installed.
"""
import http.client
import os
import sys
import tempfile
import time
import unittest
import urllib.parse

import chromium
import plxharness
import seed_site as ss

SKIPPED = 77
SHOTS = os.environ.get("PLX_SCREENSHOTS") or tempfile.mkdtemp(prefix="plx-console-shots-")
PAGE_ROWS = 50
SIGNIN = "/console/signin"
REOFFER_TEXT = "Offered again from the console"

# A table's rows as plain values in one round trip: each cell's text under each of its
# classes, the first link of a cell under "<class>@href", and the row's data attributes.
READ_ROWS = """
return Array.from(document.querySelectorAll(arguments[0])).map(tr => {
  const o = {data: Object.assign({}, tr.dataset)};
  for (const td of tr.querySelectorAll('td')) for (const c of td.classList) {
    o[c] = td.textContent.trim();
    const a = td.querySelector('a');
    if (a) o[c + '@href'] = a.getAttribute('href');
  }
  return o;
});"""


def path_of(url):
    return urllib.parse.urlsplit(url).path


class ConsoleTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.site = ss.Site()
        cls.h = plxharness.Harness(wine=False)
        try:
            cls.svc = cls.h.service(cls.site.document())
            ss.write_history(cls.svc.port, cls.site)
            cls.browser = chromium.Chromium()
        except BaseException:
            cls.h.close()
            raise
        cls.driver = cls.browser.driver
        cls.urls, cls.sources = [], []
        cls.base = "http://127.0.0.1:%d" % cls.svc.admin_port

    @classmethod
    def tearDownClass(cls):
        try:
            cls.browser.close()
        finally:
            cls.h.close()

    # ---- the browser ----------------------------------------------------------------

    def open(self, path):
        self.driver.get(self.base + path)
        return self.seen()

    def seen(self):
        """Records what the browser shows now (for the token checks); its path."""
        self.sources.append(self.driver.page_source)
        self.urls.extend(self.browser.requested_urls())
        return path_of(self.driver.current_url)

    def click(self, css):
        self.driver.find_element("css selector", css).click()
        return self.seen()

    def text(self, css):
        return self.driver.find_element("css selector", css).text.strip()

    def exists(self, css):
        return bool(self.driver.find_elements("css selector", css))

    def rows(self, css):
        return self.driver.execute_script(READ_ROWS, css)

    def shot(self, name):
        self.browser.screenshot(os.path.join(SHOTS, name + ".png"))

    def sign_in(self, token=None):
        self.driver.delete_all_cookies()
        self.open(SIGNIN)
        self.driver.find_element("id", "token").send_keys(token or self.svc.token)
        return self.click("#signin-submit")

    def cookie(self):
        c = self.driver.get_cookie("plx_session")
        return c and c["value"]

    def csrf(self):
        return self.driver.find_element("css selector", "#signout input[name=csrf]").get_attribute("value")

    # ---- plain HTTP -----------------------------------------------------------------

    def request(self, method, path, headers=None, body=None):
        """One request, redirects not followed: (status, headers, body text)."""
        c = http.client.HTTPConnection("127.0.0.1", self.svc.admin_port, timeout=60)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, r.headers, r.read().decode("utf-8", "replace")
        finally:
            c.close()

    def post_form(self, path, fields, cookie=None):
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        if cookie:
            headers["Cookie"] = "plx_session=" + cookie
        return self.request("POST", path, headers, urllib.parse.urlencode(fields))

    def row_status(self, record_id):
        rows = [r for r in self.svc.api("/status")["status"] if r["RecordId"] == record_id]
        self.assertEqual(len(rows), 1, record_id)
        return rows[0]

    # ---- what the site says ------------------------------------------------------------

    def expect_counts(self, pid):
        return {k: str(v) for k, v in self.site.counts(pid).items()}

    def expect_history(self, entries):
        """The first page, newest first, as the history table shows it."""
        return [(e.when, self.site.packages[e.row.package_id], e.row.user, e.row.machine, e.text)
                for e in self.site.newest_first(entries)[:PAGE_ROWS]]

    def shown_history(self, css="#history tr.history-row"):
        return [(r["when"], r["package"], r["user"], r["machine"], r["text"]) for r in self.rows(css)]

    def quiet_row(self, status):
        """A machine's row of the last package of the overview, which no other test looks into."""
        pid = self.site.overview()[-1]
        return next(r for r in self.site.rows if r.package_id == pid and r.status == status and r.kind == ss.KIND_MACHINE)

    # ---- the tests ----------------------------------------------------------------------

    def test_sign_in_refuses_a_wrong_token_and_opens_with_the_right_one(self):
        wrong = "not-the-token-%d" % os.getpid()
        self.driver.delete_all_cookies()
        self.open(SIGNIN)
        self.shot("signin")
        self.assertEqual(self.sign_in(wrong), SIGNIN)
        self.assertEqual(self.text("#error"), "Wrong token.")
        self.assertIsNone(self.cookie())
        self.assertNotIn(wrong, self.driver.page_source)
        self.shot("signin-wrong-token")
        self.assertEqual(self.sign_in(), "/console/")
        self.assertTrue(self.cookie())
        # The cookie as the service sets it, and the refusal as a status.
        status, headers, _ = self.post_form(SIGNIN, {"token": self.svc.token})
        self.assertEqual((status, headers["Location"]), (303, "/console/"))
        attrs = {a.strip().split("=")[0].lower() for a in headers["Set-Cookie"].split(";")[1:]}
        self.assertTrue({"path", "httponly", "samesite", "max-age"} <= attrs, headers["Set-Cookie"])
        self.assertIn("SameSite=Strict", headers["Set-Cookie"])
        self.assertIn("Path=/console/", headers["Set-Cookie"])
        self.assertEqual(self.post_form(SIGNIN, {"token": wrong})[0], 401)
        status, headers, _ = self.request("GET", "/console/", {"Cookie": "plx_session=" + self.cookie()})
        self.assertEqual(status, 200)
        self.assertEqual((headers["Cache-Control"], headers["X-Frame-Options"], headers["X-Content-Type-Options"]),
                         ("no-store", "DENY", "nosniff"))
        self.assertIn("default-src 'self'", headers["Content-Security-Policy"])
        self.assertIn("utf-8", headers["Content-Type"].lower())

    def test_overview_lists_packages_most_failed_first_with_their_counts(self):
        self.sign_in()
        order = self.site.overview()
        self.assertEqual(order[0], ss.FAILING_ID)
        self.assertGreater(self.site.counts(order[0])["failed"], 10 * self.site.counts(order[1])["failed"])
        pages = (len(order) + PAGE_ROWS - 1) // PAGE_ROWS
        self.shot("overview")
        for page in range(1, pages + 1):
            expected = order[(page - 1) * PAGE_ROWS:page * PAGE_ROWS]
            shown = self.rows("#overview tr.package")
            self.assertEqual([int(r["data"]["packageId"]) for r in shown], expected, "page %d" % page)
            for r, pid in zip(shown, expected):
                self.assertEqual(r["name"], self.site.packages[pid])
                self.assertEqual(r["name@href"], "/console/package/%d" % pid)
                self.assertEqual({k: r[k] for k in ss.COUNT_COLUMNS}, self.expect_counts(pid), pid)
                self.assertIn("bar", r)
            self.assertEqual(self.exists("#prev-page"), page > 1)
            self.assertEqual(self.exists("#next-page"), page < pages)
            if page < pages:
                self.click("#next-page")

    def test_links_lead_from_the_failing_package_to_a_machine_and_its_history(self):
        self.sign_in()
        pid = ss.FAILING_ID
        self.click('#overview tr.package[data-package-id="%d"] td.name a' % pid)
        self.assertEqual(self.text("#package-name"), self.site.packages[pid])
        self.shot("package")
        targets = sorted((kind, name) for p, kind, name in self.site.targets if p == pid)
        self.assertEqual([(r["kind"], r["name"]) for r in self.rows("#targets tbody tr")],
                         [(ss.KIND_TEXT[kind], name) for kind, name in targets])
        shown = self.rows("#status-rows tr.status-row")
        self.assertEqual(len(shown), PAGE_ROWS)
        by_id = {r.record_id: r for r in self.site.rows}
        for r in shown:  # failures come first, each with its newest history text
            row = by_id[int(r["data"]["rowId"])]
            self.assertEqual((row.package_id, r["status"], r["failures"], r["text"]),
                             (pid, ss.STATUS_TEXT[row.status], str(row.failures), row.text))
            self.assertIn(row.status, (ss.FAILED, ss.FAILED_RETRY))
        # Only the machines' rows, through the filter form.
        self.driver.execute_script("document.getElementById('filter').elements['kind'].value = 'machine';")
        self.click("#filter button, #filter input[type=submit]")
        shown = self.rows("#status-rows tr.status-row")
        self.assertEqual({by_id[int(r["data"]["rowId"])].kind for r in shown}, {ss.KIND_MACHINE})
        first = shown[0]
        self.assertIn(by_id[int(first["data"]["rowId"])].status, (ss.FAILED, ss.FAILED_RETRY))
        machine = by_id[int(first["data"]["rowId"])].target
        self.assertEqual(self.click('tr.status-row[data-row-id="%s"] td.target a' % first["data"]["rowId"]),
                         "/console/machine/" + machine)
        self.assertEqual(self.text("#subject"), machine)
        self.shot("machine")
        mine = [r for r in self.site.rows if r.machine == machine]
        self.assertEqual(sorted(int(r["data"]["rowId"]) for r in self.rows("#packages tr.status-row")),
                         sorted(r.record_id for r in mine))
        self.assertEqual(self.shown_history(),
                         self.expect_history([e for e in self.site.entries if e.row.machine == machine]))
        # On to the user of the newest entry, and to that user's history.
        user = self.rows("#history tr.history-row")[0]["user"]
        self.click("#history tr.history-row td.user a")
        self.assertEqual(self.text("#subject"), user)
        self.shot("user")
        self.assertEqual(sorted(int(r["data"]["rowId"]) for r in self.rows("#packages tr.status-row")),
                         sorted(r.record_id for r in self.site.rows if r.user == user))
        self.assertEqual(self.shown_history(),
                         self.expect_history([e for e in self.site.entries if e.row.user == user]))

    def test_history_search_by_text_package_machine_user_and_dates(self):
        self.sign_in()
        entries = self.site.entries
        busy = self.site.overview()[1]
        cases = [
            ({"text": ss.RARE_TEXT[3:20].lower()}, lambda e: e.text == ss.RARE_TEXT),
            ({"text": "A&B <x86>"}, lambda e: "A&B <x86>" in e.text),
            ({"package": str(busy)}, lambda e: e.row.package_id == busy),
            ({"machine": "WS-0042"}, lambda e: e.row.machine == "WS-0042"),
            ({"user": ss.ODD_USER}, lambda e: e.row.user == ss.ODD_USER),
            ({"from": "2026-10-01", "to": "2026-10-02"}, lambda e: "20261001" <= e.date <= "20261002"),
            ({"package": str(ss.FAILING_ID), "from": "2026-11-20", "to": "2026-11-30"},
             lambda e: e.row.package_id == ss.FAILING_ID and "20261120" <= e.date <= "20261130"),
        ]
        for query, wanted in cases:
            with self.subTest(query=query):
                self.search(query)
                self.assertFalse(self.exists("#error"))
                found = [e for e in entries if wanted(e)]
                self.assertTrue(found)
                self.assertEqual(self.shown_history(), self.expect_history(found))
                self.assertEqual(self.exists("#next-page"), len(found) > PAGE_ROWS)
        self.shot("history-search")
        # Straight from the address bar: the form's own checks would stop these.
        for query in ({"text": "ab"}, {"from": "2026-13-01"}, {"to": "yesterday"}):
            with self.subTest(query=query):
                self.open("/console/history?" + urllib.parse.urlencode(query))
                self.assertTrue(self.text("#error"))
                self.assertEqual(self.rows("#history tr.history-row"), [])

    def search(self, query):
        """Fills the search form (every field, the others emptied) and sends it."""
        self.open("/console/history")
        self.driver.execute_script(
            "const f = document.getElementById('search'); const q = arguments[0];"
            "for (const n of ['text', 'package', 'machine', 'user', 'from', 'to'])"
            "  if (f.elements[n]) f.elements[n].value = q[n] || '';", query)
        form = self.driver.find_element("id", "search")
        form.find_element("css selector", "button, input[type=submit]").click()
        return self.seen()

    def test_reoffer_through_the_confirmation_sets_the_row_pending_and_writes_history(self):
        self.sign_in()
        row = self.quiet_row(ss.REFUSED)
        pid, name = row.package_id, self.site.packages[row.package_id]
        self.open("/console/package/%d" % pid)
        # The filter first: only that package's refused rows.
        self.driver.execute_script("const f = document.getElementById('filter'); f.elements['status'].value = 'refused';")
        self.driver.find_element("css selector", "#filter button, #filter input[type=submit]").click()
        self.seen()
        refused = [r.record_id for r in self.site.rows if r.package_id == pid and r.status == ss.REFUSED]
        self.assertEqual(sorted(int(r["data"]["rowId"]) for r in self.rows("#status-rows tr.status-row")), refused)
        self.click('tr.status-row[data-row-id="%d"] a.reoffer' % row.record_id)
        self.assertEqual(path_of(self.driver.current_url), "/console/reoffer")
        page = self.text("body")
        self.assertIn(name, page)
        self.assertIn(row.target, page)
        self.shot("reoffer-confirm")
        self.assertEqual(self.row_status(row.record_id)["PackageStatus"], ss.REFUSED)
        before = time.strftime("%Y%m%d")
        self.assertEqual(self.click("#reoffer-confirm"), "/console/package/%d" % pid)
        days = {before, time.strftime("%Y%m%d")}  # the service's local day
        stored = self.row_status(row.record_id)
        self.assertEqual((stored["PackageStatus"], stored["RefusalCount"]), (ss.PENDING, row.refusals))
        written = [h for h in self.svc.history(pid) if h["PackageUserId"] == row.record_id and h["UserName"] == "console"]
        self.assertEqual([(h["Text"], h["ServerName"]) for h in written], [(REOFFER_TEXT, ss.SERVER_NAME)])
        self.assertIn(written[0]["Date"], days)
        row.status = ss.PENDING  # for whatever runs after
        self.open("/console/package/%d?status=pending" % pid)
        shown = self.rows('tr.status-row[data-row-id="%d"]' % row.record_id)
        self.assertEqual([r["status"] for r in shown], ["pending"])
        self.assertFalse(self.exists('tr.status-row[data-row-id="%d"] a.reoffer' % row.record_id))

    def test_post_without_the_session_csrf_token_is_refused(self):
        self.sign_in()
        row = self.quiet_row(ss.INSTALLED)
        cookie, csrf = self.cookie(), self.csrf()
        for fields in ({"row": row.record_id}, {"row": row.record_id, "csrf": csrf[::-1]},
                       {"row": row.record_id, "csrf": ""}):
            with self.subTest(fields=fields):
                self.assertEqual(self.post_form("/console/reoffer", fields, cookie)[0], 403)
        self.assertEqual(self.post_form("/console/reoffer", {"row": row.record_id, "csrf": csrf})[0], 403)
        self.assertEqual(self.row_status(row.record_id)["PackageStatus"], ss.INSTALLED)

    def test_sign_out_ends_the_session(self):
        self.sign_in()
        page = "/console/package/%d" % ss.FAILING_ID
        self.open(page)
        cookie = self.cookie()
        self.assertEqual(self.click("#signout-submit"), SIGNIN)
        status, headers, _ = self.request("GET", page, {"Cookie": "plx_session=" + cookie})
        self.assertEqual((status, headers["Location"]), (303, SIGNIN))
        self.assertEqual(self.open(page), SIGNIN)

    def test_nothing_answers_without_a_session_or_the_token(self):
        self.driver.delete_all_cookies()
        self.assertEqual(self.open("/console/package/%d" % ss.FAILING_ID), SIGNIN)
        self.sign_in()
        cookie = {"Cookie": "plx_session=" + self.cookie()}
        bearer = {"Authorization": "Bearer " + self.svc.token}
        row = self.quiet_row(ss.INSTALLED).record_id
        pages = ["/console/", "/console/package/1", "/console/machine/WS-0001", "/console/user/user001",
                 "/console/history?text=Installed", "/console/reoffer?row=%d" % row, "/console/nowhere"]
        for path in pages:
            for headers in ({}, bearer):
                with self.subTest(path=path, headers=list(headers)):
                    status, got, _ = self.request("GET", path, headers)
                    self.assertEqual((status, got["Location"]), (303, SIGNIN))
        for path in ("/console/reoffer", "/console/signout"):
            with self.subTest(path=path):
                self.assertEqual(self.post_form(path, {"row": row})[0], 403)
        api = ["/servers", "/packages", "/schedules", "/status", "/dependencies", "/tasks", "/installed",
               "/history", "/export", "/metrics"]
        for path in api:
            for headers in ({}, cookie, {"Authorization": "Bearer wrong"}):
                with self.subTest(path=path, headers=list(headers)):
                    self.assertEqual(self.request("GET", path, headers)[0], 401)
        self.assertEqual(self.request("POST", "/import", cookie, "{}")[0], 401)
        self.assertEqual(self.row_status(row)["PackageStatus"], ss.INSTALLED)

    def test_session_from_before_a_restart_is_refused(self):
        self.sign_in()
        cookie = self.cookie()
        self.assertEqual(self.request("GET", "/console/", {"Cookie": "plx_session=" + cookie})[0], 200)
        self.svc.stop()
        self.svc.start()
        status, headers, _ = self.request("GET", "/console/", {"Cookie": "plx_session=" + cookie})
        self.assertEqual((status, headers["Location"]), (303, SIGNIN))
        self.assertEqual(self.open("/console/"), SIGNIN)

    def test_token_appears_in_no_url_page_or_log(self):
        # A walk over every kind of page, on top of what the other tests showed the browser.
        self.sign_in()
        row = self.quiet_row(ss.INSTALLED)
        for path in ("/console/", "/console/package/%d" % row.package_id, "/console/machine/" + row.machine,
                     "/console/user/" + urllib.parse.quote(ss.ODD_USER), "/console/history?text=Refused",
                     "/console/reoffer?row=%d" % row.record_id, "/console/package/999999"):
            self.open(path)
        self.shot("not-found")
        token = self.svc.token
        self.assertTrue(self.urls)
        self.assertEqual([u for u in self.urls if token in urllib.parse.unquote(u)], [])
        self.assertEqual([s[:200] for s in self.sources if token in s], [])
        with open(os.path.join(self.svc.dir, "dblinkd.log"), errors="replace") as f:
            self.assertNotIn(token, f.read())


def main():
    why = chromium.available()
    if why:
        print("browser tests skipped: " + why)
        sys.exit(SKIPPED)
    os.makedirs(SHOTS, exist_ok=True)
    print("screenshots in " + SHOTS)
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
