"""Check the built documentation in headless Chromium (make docs-check).

Every HTML page of the site is opened in Chromium with network access cut
off. A page fails when it does not load, when its script reports an
uncaught error, or when a link, image, stylesheet or script of it points
inside the site at a file or anchor that does not exist. Links that leave
the site are counted, never fetched. Screenshots of the landing page, API
pages of orvex.spqr and orvex.rank, the pictures page and the guide's page on
rank-deficient problems are saved for a person to look at.

    python scripts/docs_check.py HTML_DIR SCREENSHOT_DIR
"""

import concurrent.futures
import html.parser
import pathlib
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

SCREENSHOTS = {
    "landing.png": ("index.html", (1280, 1000)),
    "api-SPQRFactor.png": ("api/generated/orvex.spqr.SPQRFactor.html", (1280, 1800)),
    "api-spqr.png": ("api/generated/orvex.spqr.spqr.html", (1280, 1800)),
    "pictures.png": ("guide/pictures.html", (1280, 3400)),
    "guide-rank.png": ("guide/rank.html", (1280, 4200)),
    "api-null_space.png": ("api/generated/orvex.rank.null_space.html", (1280, 2000)),
}


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    sys.exit("docs-check: chromium is not installed")


def browser_args(profile):
    # No network: every host name fails to resolve and any proxy use goes
    # to a closed port; file:// pages are unaffected.
    return [chromium(), "--headless", "--no-sandbox", "--disable-gpu",
            "--no-first-run", "--disable-extensions", "--disable-background-networking",
            f"--user-data-dir={profile}", "--host-resolver-rules=MAP * ~NOTFOUND",
            "--proxy-server=127.0.0.1:9", "--enable-logging=stderr", "--v=0",
            "--virtual-time-budget=4000"]


class Links(html.parser.HTMLParser):
    """The ids a page defines and the URLs it refers to."""

    ATTRS = {"a": "href", "link": "href", "img": "src", "script": "src",
             "iframe": "src", "source": "src"}

    def __init__(self):
        super().__init__()
        self.ids, self.urls = set(), []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("id", "name"):
            if attrs.get(key):
                self.ids.add(attrs[key])
        url = attrs.get(self.ATTRS.get(tag, ""))
        if url:
            self.urls.append((tag, url))


def parse(text):
    parser = Links()
    parser.feed(text)
    return parser


def open_page(page, root):
    """Load one page; (DOM after scripts ran, browser log)."""
    with tempfile.TemporaryDirectory() as profile:
        result = subprocess.run(browser_args(profile) + ["--dump-dom", page.as_uri()],
                                capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


def check_page(page, root, static_ids):
    problems = []
    code, dom, log = open_page(page, root)
    name = page.relative_to(root).as_posix()
    if code != 0 or "<body" not in dom or "ERR_" in dom[:2000]:
        return name, [f"does not load (exit {code})"], 0
    if 'class="bd-article' not in dom and name not in ("search.html", "genindex.html",
                                                        "py-modindex.html"):
        problems.append("has no article body")
    for line in log.splitlines():
        if ":CONSOLE" in line and ("ERROR:CONSOLE" in line or "Uncaught" in line
                                   or "Failed to load resource" in line):
            problems.append("browser: " + line.split("] ", 1)[-1][:200])
    external = 0
    for tag, url in parse(dom).urls:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme in ("http", "https", "mailto"):
            external += 1
            continue
        if parts.scheme in ("javascript", "data"):
            continue
        if parts.scheme == "file":
            target = pathlib.Path(urllib.parse.unquote(parts.path))
        elif parts.path:
            target = (page.parent / urllib.parse.unquote(parts.path)).resolve()
        else:
            target = page
        if target.is_dir():
            target = target / "index.html"
        if not target.exists():
            problems.append(f"broken {tag} link {url}")
            continue
        try:
            target.relative_to(root)
        except ValueError:
            problems.append(f"{tag} link {url} leaves the site")
            continue
        if parts.fragment and target.suffix == ".html":
            ids = static_ids.get(target)
            if ids is None:
                ids = static_ids[target] = parse(target.read_text(encoding="utf-8")).ids
            if urllib.parse.unquote(parts.fragment) not in ids:
                problems.append(f"broken anchor {url}")
    return name, list(dict.fromkeys(problems)), external


def screenshot(page, path, size):
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run(browser_args(profile) + [f"--window-size={size[0]},{size[1]}",
                                                "--hide-scrollbars", f"--screenshot={path}",
                                                page.as_uri()],
                       capture_output=True, text=True, timeout=120, check=True)
    if not path.exists() or path.stat().st_size < 10_000:
        raise SystemExit(f"docs-check: screenshot {path} failed")


def main(html_dir, shot_dir):
    root = pathlib.Path(html_dir).resolve()
    if not (root / "index.html").exists():
        sys.exit(f"docs-check: {root}/index.html is missing; run make docs first")
    pages = sorted(p for p in root.rglob("*.html")
                   if not p.relative_to(root).parts[0].startswith("_"))
    static_ids = {}
    failures, external = {}, 0
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for name, problems, n in pool.map(lambda p: check_page(p, root, static_ids), pages):
            external += n
            if problems:
                failures[name] = problems
    shots = pathlib.Path(shot_dir)
    shots.mkdir(parents=True, exist_ok=True)
    for file, (page, size) in SCREENSHOTS.items():
        screenshot(root / page, shots / file, size)
    for name, problems in failures.items():
        for problem in problems:
            print(f"docs-check: {name}: {problem}")
    print(f"docs-check: {len(pages)} pages opened in Chromium, {len(failures)} with problems; "
          f"{external} links leave the site (not fetched); screenshots in {shots}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
