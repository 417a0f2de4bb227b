#!/usr/bin/env python3
"""docs_test.py on a small guide of its own with one fault of each kind:
each is reported, and nothing sound is.

  docs_checker_test.py DOCS_TEST
"""

import os
import subprocess
import sys
import tempfile

README = """# Guide

[sound](docs/a.md) [b](docs/b.md) [c](docs/c.md) [d](docs/d.md) [sound anchor](docs/a.md#twice-1) [own anchor](#guide)
[f](docs/f.md) [g](docs/g.md) [h](docs/h.md)
[missing](docs/missing.md) [bad anchor](docs/a.md#absent)
`[in code](docs/nowhere.md)` [web](https://example.invalid/x.md)

```bash
echo undecided
```

```sh later
echo unknown
```
"""

PAGES = {
    "a.md": "# Twice\n\n## Twice\n\n```sh\ntouch made\nfalse\ntouch never\n```\n\n```sh\ntouch after\n```\n",
    # A folder of its own: a's file is not there.
    "b.md": "# B\n\n```sh\ntest ! -e made\n```\n",
    "c.md": "# C\n\n```sh\nprintf x | false | cat\n```\n",
    # Blocks of one page share their folder, in order; PATH has the tool.
    # Not linked from the README.
    "e.md": "# E\n",
    "d.md": "# D\n\n```sh\necho hi >f\n```\n\n```text\nfalse\n```\n\n```sh\ntest -f f\nfaketool\n```\n",
    # A service kept running for the page, its folder and port of the
    # page's own, a line of the machine's, a block not run.
    "f.md": "# F\n\n<!-- docs_examples: root /etc/x /etc/x/y -->\n<!-- docs_examples: ports 1883 -->\n"
            "<!-- docs_examples: line listen 1883 => listen 1883 here -->\n\n"
            "```sh service\necho $$ >pid\nexec sleep 300\n```\n\n"
            "```sh\nkill -0 $(cat pid)\nsudo tee /etc/x/y/conf <<END\n  listen 1883\nport 18830\nEND\n```\n\n"
            "```sh skip-test\nfalse\n```\n",
    # Services that end by themselves: at once, and before the page's end.
    "g.md": "# G\n\n```sh service\ntrue\n```\n",
    "h.md": "# H\n\n```sh service\nsleep 1.5\n```\n\n```sh\nsleep 1\n```\n",
}


def run(*args):
    done = subprocess.run([sys.executable, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout


def main(docs_test):
    failures = []

    def expect(condition, what, output):
        if not condition:
            failures.append(f"{what}\n{output}")

    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "docs"))
        with open(os.path.join(root, "README.md"), "w") as f:
            f.write(README)
        for name, text in PAGES.items():
            with open(os.path.join(root, "docs", name), "w") as f:
                f.write(text)
        bin_dir = os.path.join(root, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "faketool"), "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(os.path.join(bin_dir, "faketool"), 0o755)

        status, out = run(docs_test, "links", root)
        expect(status == 1, "links: exit status 1", out)
        expect("README.md:5: docs/missing.md: no such file" in out, "links: a missing file", out)
        expect("README.md:5: docs/a.md#absent: no heading" in out, "links: a missing anchor", out)
        expect("README.md:8: a block marked 'bash'" in out, "links: an unmarked block", out)
        expect("README.md:12: a block marked 'sh later'" in out, "links: an unknown kind of sh", out)
        expect("README.md: no link to docs/e.md" in out, "links: a page the README does not link", out)
        expect("5 broken" in out, "links: nothing sound reported", out)

        status, out = run(docs_test, "links", root, "--pending", "docs/missing.md")
        expect("4 broken" in out and "not in the tree yet" in out, "links: a pending page named, not failed", out)

        work = os.path.join(root, "work")
        status, out = run(docs_test, "examples", root, work, "--path", bin_dir)
        expect(status == 1, "examples: exit status 1", out)
        expect("docs/a.md:5: the example failed" in out, "examples: a failing command mid-block", out)
        expect(not os.path.exists(os.path.join(work, "docs_a", "never")), "examples: the block stops there", out)
        expect(not os.path.exists(os.path.join(work, "docs_a", "after")), "examples: the page stops there", out)
        expect("docs/c.md:3: the example failed" in out, "examples: a failing pipe", out)
        expect("docs/b.md" not in out, "examples: each page in a folder of its own", out)
        expect("docs/d.md" not in out, "examples: pages of sound blocks", out)
        f = os.path.join(work, "docs_f")
        conf = os.path.join(f, "root", "etc", "x", "y", "conf")
        lines = open(conf).read().split("\n") if os.path.exists(conf) else []
        expect("docs/f.md" not in out, "examples: a service, a root, a port, a line", out)
        expect(len(lines) == 3 and lines[0].startswith("listen ") and lines[0].endswith(" here")
               and lines[0] != "listen 1883 here" and lines[1] == "port 18830",
               "examples: the port and the line in the page's root", "\n".join(lines))
        pid = open(os.path.join(f, "pid")).read().strip() if os.path.exists(os.path.join(f, "pid")) else ""
        expect(pid and not os.path.exists(f"/proc/{pid}"), "examples: the service stopped", pid)
        expect("docs/g.md:3: the example failed (a service that ended at once (0))" in out,
               "examples: a service that ends at once", out)
        expect("docs/h.md:3: the example failed (a service that ended before the page's end (0))" in out,
               "examples: a service that ends before the page's end", out)
        expect("10 blocks run, 4 failed, 1 marked skip-test" in out, "examples: the count", out)

    for failure in failures:
        print(f"FAILED: {failure}")
    print(f"docs_checker: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
