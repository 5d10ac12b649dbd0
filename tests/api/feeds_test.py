"""The Atom feeds as a feed reader reads them (feedparser, Debian's python3-feedparser):
well-formed Atom 1.0, the latest 50 changes newest first, each linking to its sheet, updated
when the journal is, and a poll with the entity tag answered 304.
    python3 tests/api/feeds_test.py path/to/quorb.cgi"""
import sys
import unittest

import feedparser

from quorb_site import Site

CGI = None

SHEET = {"title": "A bug", "project": "TEST", "group": "GUI", "prog": "prog1", "sev": 2,
         "impact": "b", "phase": "a", "version": "1.0", "exp": "1.1", "type": 1,
         "test": "T1", "Load": 1, "text": "Described"}


class Feeds(unittest.TestCase):
    def setUp(self):
        self.site = Site(CGI, "SECURITY YES\nBASEURL https://bugs.example.org\n")
        self.key = self.site.add_key("kolvar")
        self.feed_key = self.site.add_key("kolvar", kind="f")

    def tearDown(self):
        self.site.close()

    def feed(self, query, etag=None):
        headers = {"If-None-Match": etag} if etag else {}
        status, fields, body = self.site.run(query, headers=headers)
        return status, fields, body

    def test_project_feed_holds_the_latest_fifty_and_follows_the_journal(self):
        for n in range(55):
            status, sheet = self.site.api(self.key, "create", payload=dict(SHEET, title=f"Bug {n}"))
            self.assertEqual(status, 201, sheet)
        query = "CMD=feed&project=TEST&key=" + self.feed_key
        status, fields, body = self.feed(query)
        self.assertEqual(status, 200)
        self.assertEqual(fields["content-type"], "application/atom+xml; charset=utf-8")
        parsed = feedparser.parse(body)
        self.assertFalse(parsed.bozo, parsed.get("bozo_exception"))
        self.assertEqual(parsed.version, "atom10")
        self.assertEqual(len(parsed.entries), 50)
        newest = parsed.entries[0]
        self.assertEqual(newest.link, "https://bugs.example.org/cgi-bin/quorb.cgi?Num=TaG.00055")
        self.assertIn("Submitted by kolvar", newest.title)
        self.assertEqual(len({e.id for e in parsed.entries}), 50)
        self.assertTrue(all(e.get("updated_parsed") for e in parsed.entries))

        # Unchanged: the tag brings 304 and nothing else.
        status, _, body = self.feed(query, fields["etag"])
        self.assertEqual((status, body), (304, b""))
        # A change on the journal: a new tag, the change first, in the project's and the
        # sheet's feed alike.
        status, _ = self.site.api(self.key, "entry",
                                  payload={"sheet": "TaG.00003", "title": "Found",
                                           "text": "Le café"})
        self.assertEqual(status, 200)
        status, changed, body = self.feed(query, fields["etag"])
        self.assertEqual(status, 200)
        self.assertNotEqual(changed["etag"], fields["etag"])
        parsed = feedparser.parse(body)
        self.assertEqual(parsed.entries[0].link,
                         "https://bugs.example.org/cgi-bin/quorb.cgi?Num=TaG.00003")
        sheet = feedparser.parse(self.feed("CMD=feed&Num=TaG.00003&key=" + self.feed_key)[2])
        self.assertFalse(sheet.bozo)
        self.assertEqual(len(sheet.entries), 2)
        self.assertIn("TaG.00003", sheet.feed.title)

    def test_refused_without_a_feed_key(self):
        for query in ("CMD=feed&project=TEST", "CMD=feed&project=TEST&key=" + self.key,
                      "CMD=feed&project=TEST&key=qkf00000000_" + "0" * 32):
            self.assertEqual(self.feed(query)[0], 401, query)


if __name__ == "__main__":
    CGI = sys.argv.pop(1)
    unittest.main(verbosity=2)
