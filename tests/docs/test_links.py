"""Every relative link in the README, HACKING.md and docs/ names a file of the checkout, and
every #anchor a heading of the page it points to, as GitHub makes anchors from headings."""
import os
import re
import unittest

SOURCE_DIR = os.environ.get("BRACKENREACH_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(path):
    """GitHub's anchors: a heading lower-cased, punctuation but hyphens dropped, spaces as hyphens."""
    with open(path, encoding="utf-8") as f:
        text = re.sub(r"(?ms)^(```|    ).*?$", "", f.read())
    found = set()
    for heading in re.findall(r"(?m)^#+ (.+)$", text):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


class Links(unittest.TestCase):
    def test_every_link_resolves(self):
        pages = ["README.md", "HACKING.md"] + sorted(
            os.path.join("docs", name) for name in os.listdir(os.path.join(SOURCE_DIR, "docs"))
            if name.endswith(".md"))
        checked = 0
        for page in pages:
            with open(os.path.join(SOURCE_DIR, page), encoding="utf-8") as f:
                text = f.read()
            for target in LINK.findall(text):
                if re.match(r"[a-z]+:", target):
                    continue  # an address outside the checkout
                path, _, anchor = target.partition("#")
                resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                with self.subTest(page=page, link=target):
                    self.assertTrue(os.path.exists(os.path.join(SOURCE_DIR, resolved)), resolved)
                    if anchor and resolved.endswith(".md"):
                        self.assertIn(anchor, anchors(os.path.join(SOURCE_DIR, resolved)))
                checked += 1
        self.assertGreater(checked, 10)  # the pages link to each other; none found means a broken pattern


if __name__ == "__main__":
    unittest.main()
