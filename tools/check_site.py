"""Opens pages of the built docs site in headless Chromium and fails unless each one renders
with no console message.

    python tools/check_site.py SITE [PAGE...] [--screenshots DIR]

PAGE is a path below SITE (default: the index and two guides). The site is served over HTTP on
the loopback address, not opened from files: the theme's search runs in a web worker, which a
browser refuses to start from a file URL, and that refusal would hide real errors among false
ones. Chromium reports every console message, and every resource it failed to load, on
standard error with the tag CONSOLE; a page passes when there is none and its DOM holds the
rendered article with the page's heading.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import http.server
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from collections.abc import Iterator
from pathlib import Path

PAGES = ['index.html', 'parse/index.html', 'converter/index.html']
BROWSERS = ['chromium', 'chromium-browser', 'google-chrome']


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


@contextlib.contextmanager
def serving(site: Path) -> Iterator[str]:
    handler = functools.partial(QuietHandler, directory=str(site))
    with http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler) as server:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            yield f'http://127.0.0.1:{server.server_address[1]}/'
        finally:
            server.shutdown()
            thread.join()


def browser() -> str:
    for name in BROWSERS:
        found = shutil.which(name)
        if found:
            return found
    raise SystemExit(f'no Chromium found (tried {", ".join(BROWSERS)})')


def chromium(program: str, url: str, *options: str) -> subprocess.CompletedProcess[str]:
    # A profile of its own per run: two runs at once must not share one, and nothing of the
    # user's own profile may leak into the check.
    with tempfile.TemporaryDirectory(prefix='site-check-') as profile:
        return subprocess.run(
            [program, '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
             '--disable-extensions', '--enable-logging=stderr', '--v=0', '--log-level=0',
             f'--user-data-dir={profile}', '--window-size=1280,1000',
             # Long enough for the theme's scripts to run before the DOM is taken.
             '--virtual-time-budget=3000', *options, url],
            capture_output=True, text=True, timeout=120, check=False, stdin=subprocess.DEVNULL)


def heading_of(page: Path) -> str:
    found = re.search(r'<h1[^>]*>(.*?)<', page.read_text(encoding='utf-8'), re.DOTALL)
    return found.group(1).strip() if found else ''


def check(site: Path, pages: list[str], screenshots: Path | None) -> list[str]:
    program = browser()
    problems = []
    with serving(site) as base:
        for page in pages:
            if not (site / page).is_file():
                problems.append(f'{page}: not in the built site')
                continue
            done = chromium(program, base + page, '--dump-dom')
            console = [line for line in done.stderr.splitlines() if 'CONSOLE' in line]
            heading = heading_of(site / page)
            if done.returncode != 0:
                problems.append(f'{page}: Chromium exited with {done.returncode}\n{done.stderr}')
            problems += [f'{page}: {line}' for line in console]
            if 'md-content' not in done.stdout or not heading or heading not in done.stdout:
                problems.append(f'{page}: the rendered page lacks its article or heading')
            if screenshots is not None:
                screenshots.mkdir(parents=True, exist_ok=True)
                shot = screenshots / (page.replace('/', '_').removesuffix('.html') + '.png')
                chromium(program, base + page, f'--screenshot={shot}')
            print(f'{page}: {"rendered" if not console else "console messages"}, '
                  f'heading {heading!r}')
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('site', type=Path)
    parser.add_argument('pages', nargs='*', default=PAGES)
    parser.add_argument('--screenshots', type=Path, metavar='DIR')
    args = parser.parse_args()
    problems = check(args.site, args.pages, args.screenshots)
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
