"""The README as a newcomer runs it: its fenced code blocks in order, in a
scratch directory that holds the checkout and the build as `build/`.

By language: `sh` commands run with bash, except those that build or install
(the README's first command is what the suite runs after; the others take
minutes); `python` blocks run with Debian's interpreter and the package on
PYTHONPATH, each section's blocks as one session, skipped where a module they
import is missing; a `c` or `cpp` block opens with a comment naming its file,
which is written for the `sh` commands after it to compile and run; `text`
blocks are synopses and are not run."""

import importlib.util
import os
import re
import subprocess

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NOT_RUN = ("tools/install-deps", "tools/check", "cmake ", "/usr/bin/python3 -m venv", "build/bench/",
           "bench/compare")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def blocks():
    """(index, section, language, text) of every fenced block."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        readme = f.read()
    found = []
    for match in FENCE.finditer(readme):
        headings = re.findall(r"^#+ (.*)$", readme[:match.start()], re.M)
        found.append((len(found), headings[-1] if headings else "", match.group(1), match.group(2)))
    return found


def commands(text):
    """The commands of a shell block, continued lines joined."""
    return [c.strip() for c in text.replace("\\\n", " ").splitlines() if c.strip() and not c.startswith("#")]


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    runner = os.environ.get("MARROWICK_RUNNER")
    if not runner:
        pytest.skip("MARROWICK_RUNNER is not set")
    d = tmp_path_factory.mktemp("readme")
    for name in os.listdir(SOURCE):
        if name not in ("build", ".git"):
            os.symlink(os.path.join(SOURCE, name), d / name)
    os.symlink(os.path.dirname(os.path.abspath(runner)), d / "build")
    return d


def run(args, cwd, **kw):
    r = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=600, **kw)
    assert r.returncode == 0, "%s\n%s%s" % (args, r.stdout, r.stderr)


def test_blocks_have_known_languages():
    for index, section, language, _ in blocks():
        assert language in ("sh", "python", "c", "cpp", "text"), (index, section, language)


def test_blocks_run_in_order(scratch):
    found = blocks()
    last = {section: index for index, section, language, _ in found if language == "python"}
    sessions = {}
    for index, section, language, text in found:
        if language == "sh":
            for command in commands(text):
                if not command.startswith(NOT_RUN):
                    run(["bash", "-euo", "pipefail", "-c", command], scratch)
        elif language == "python":
            # A section's blocks are one session, run at its last block.
            session = sessions.setdefault(section, [])
            session.append(text)
            if index != last[section]:
                continue
            imported = re.findall(r"^\s*(?:import|from) (\w+)", "\n".join(session), re.M)
            missing = [m for m in imported if m != "marrowick" and importlib.util.find_spec(m) is None]
            if missing:
                print("%s: not run, %s is not installed" % (section, ", ".join(missing)))
                continue
            env = dict(os.environ, PYTHONPATH="build/python")
            run(["/usr/bin/python3", "-c", "\n".join(session)], scratch, env=env)
        elif language in ("c", "cpp"):
            name = re.match(r"(?://|/\*) *([\w.-]+\.(?:c|cpp))\b", text)
            assert name, "block %d (%s) does not open with a comment naming its file" % (index, section)
            (scratch / name.group(1)).write_text(text)
