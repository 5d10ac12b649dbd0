"""A CI job's road: its JUnit XML report turned into a campaign's verdicts, posted through the
API, and the campaign summary read back. The book's tests carry the test cases' names as
their titles; a failure or an error is NOK (filed as a sheet, which the verdict links, with
the failure's message as its comment), a skipped case NT, any other OK.
    python3 tests/api/junit_ci_test.py path/to/quorb.cgi"""
import sys
import unittest
import urllib.parse
import xml.etree.ElementTree as ET

from quorb_site import Site

CGI = None

REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuites>
  <testsuite name="login" tests="4" failures="1" skipped="1">
    <testcase classname="login" name="accepts a valid password" time="0.01"/>
    <testcase classname="login" name="refuses a wrong password" time="0.02">
      <failure message="expected 403">got 200</failure>
    </testcase>
    <testcase classname="login" name="locks after five tries" time="0.00"><skipped/></testcase>
    <testcase classname="login" name="remembers the project" time="0.01"/>
  </testsuite>
</testsuites>
"""
BOOK = {"project": "TEST", "group": "GUI", "phase": "a"}


def verdicts_from_junit(xml_text, titles):
    """[{"test": id, "verdict": ...}] of the cases whose name is the title of a test."""
    verdicts = []
    for case in ET.fromstring(xml_text).iter("testcase"):
        test = titles.get(case.get("name"))
        if test is None:
            continue
        failure = case.find("failure")
        if failure is None:
            failure = case.find("error")
        if failure is not None:
            verdicts.append({"test": test, "verdict": "NOK",
                             "comment": f"{failure.get('message')}: {failure.text}"})
            continue
        if case.find("skipped") is not None:
            verdict = "NT"
        else:
            verdict = "OK"
        verdicts.append({"test": test, "verdict": verdict})
    return verdicts


class JunitToCampaign(unittest.TestCase):
    def setUp(self):
        self.site = Site(CGI, "API YES\n")
        self.key = self.site.add_key("kolvar")
        # The book, through its pages, as its author writes it.
        at = "CMD=book&project=TEST&group=GUI&phase=0&"
        self.page(at + "book=4&mod=LOGIN&title=Login")
        self.page(at + "book=6&mod=LOGIN&step=PW&title=Passwords")
        for title in ("accepts a valid password", "refuses a wrong password",
                      "locks after five tries", "remembers the project"):
            self.page(at + "book=8&mod=LOGIN&step=PW&submitter=kolvar&title="
                      + urllib.parse.quote_plus(title))

    def tearDown(self):
        self.site.close()

    def page(self, form):
        self.site.run("", form.encode(), content_type="application/x-www-form-urlencoded")

    def test_a_junit_report_becomes_the_campaign_and_its_summary(self):
        query = "".join(f"&{k}={v}" for k, v in BOOK.items())
        status, book = self.site.api(self.key, "book", query)
        self.assertEqual(status, 200, book)
        titles = {t["title"]: t["test"] for m in book["modules"] for s in m["steps"]
                  for t in s["tests"]}
        self.assertEqual(len(titles), 4, book)
        verdicts = verdicts_from_junit(REPORT, titles)
        # Each failure filed as a sheet, which its verdict links.
        for verdict in verdicts:
            if verdict["verdict"] == "NOK":
                status, sheet = self.site.api(self.key, "create", payload={
                    "project": "TEST", "group": "GUI", "phase": "a", "prog": "prog1",
                    "version": "1.1", "exp": "1.1", "sev": 2, "impact": "b", "type": 1,
                    "title": "CI: " + verdict["comment"], "text": verdict["comment"]})
                self.assertEqual(status, 201, sheet)
                verdict["sheets"] = [sheet["sheet"]]
        payload = dict(BOOK, campaign="build-1234", version="1.1", verdicts=verdicts)
        status, posted = self.site.api(self.key, "verdicts", payload=payload,
                                       headers={"Idempotency-Key": "build-1234"})
        self.assertEqual(status, 201, posted)
        self.assertEqual(posted["recorded"], 3)  # the skipped case stays NT, as it was

        status, campaign = self.site.api(self.key, "campaign", query + "&campaign=build-1234")
        self.assertEqual(status, 200, campaign)
        self.assertEqual(campaign["summary"],
                         {"tests": 4, "applicable": 4, "executed": 3, "passed": 2,
                          "executed_percent": 75, "passed_percent": 50,
                          "success_percent": 66})
        by_test = {v["test"]: v for v in campaign["verdicts"]}
        failed = by_test[titles["refuses a wrong password"]]
        self.assertEqual((failed["verdict"], failed["tester"], failed["version"],
                          failed["comment"], failed["sheets"]),
                         ("NOK", "kolvar", "1.1", "expected 403: got 200", ["TaG.00001"]))
        # The job run again posts the same: nothing new is recorded.
        status, again = self.site.api(self.key, "verdicts", payload=payload)
        self.assertEqual((status, again["recorded"]), (200, 0))


if __name__ == "__main__":
    CGI = sys.argv.pop(1)
    unittest.main(verbosity=2)
