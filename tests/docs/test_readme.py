"""The README and docs as a newcomer uses them: every shell block marked runnable (a fence
opened with "```sh runnable") runs as written, one file's blocks in one shell, in a tree laid
out like a fresh clone after scripts/demo (build/demo holding the programs under test), with
its own /tmp and its own loopback network, and leaves no process behind. Every JSON reading
the blocks print is a weight. The README's links lead to files that exist.

QEL_BUILD_DIR is the build whose programs stand in for build/demo; QEL_SCRATCH a folder
outside /tmp for the tree.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from process_group import run_alone  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("QEL_BUILD_DIR", "")
SCRATCH = os.environ.get("QEL_SCRATCH", "")
README = os.path.join(SOURCE, "README.md")
FENCE = re.compile(r"^```sh runnable\s*$")


def runnable_blocks(path):
    """The runnable blocks of a Markdown file, in order, each as its text."""
    blocks, current = [], None
    with open(path, encoding="utf-8") as text:
        for line in text:
            if current is None:
                if FENCE.match(line):
                    current = []
            elif line.startswith("```"):
                blocks.append("".join(current))
                current = None
            else:
                current.append(line)
    if current is not None:
        raise AssertionError("%s: a runnable block is never closed" % path)
    return blocks


def fresh_clone():
    """A tree like a clone after scripts/demo: the sources' top-level entries linked, and
    build/demo the build under test."""
    tree = os.path.join(SCRATCH, "clone")
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(os.path.join(tree, "build"))
    for entry in os.listdir(SOURCE):
        if entry not in ("build", ".git"):
            os.symlink(os.path.join(SOURCE, entry), os.path.join(tree, entry))
    os.symlink(BUILD, os.path.join(tree, "build", "demo"))
    return tree


def isolated(command):
    """`command` in new network and mount namespaces (loopback up, an empty /tmp), so the
    blocks' fixed port and paths meet no other test; as it is where namespaces are refused.
    A tree that itself lies under /tmp (a clone checked out there) keeps the machine's /tmp,
    which an empty one would hide."""
    in_tmp = any(os.path.realpath(path).startswith("/tmp/") for path in (SOURCE, BUILD, SCRATCH))
    empty_tmp = "" if in_tmp else "mount -t tmpfs tmpfs /tmp && "
    setup = 'ip link set lo up && ' + empty_tmp + 'exec "$@"'
    enter = ["unshare", "--net", "--mount", "--map-root-user", "--fork", "sh", "-c", setup, "sh"]
    try:
        probe = subprocess.run(enter + ["true"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL).returncode
    except OSError:
        probe = -1
    if probe != 0:
        print("note: no namespaces here; the blocks run on the machine's own /tmp and loopback")
        return command
    return enter + command


def json_lines(output):
    for line in output.splitlines():
        line = line.strip()
        if line.startswith("{"):
            try:
                yield json.loads(line)
            except ValueError:
                continue


class RunnableBlocks(unittest.TestCase):
    def run_file(self, path):
        blocks = runnable_blocks(path)
        if not blocks:
            return None
        tree = fresh_clone()
        script = os.path.join(SCRATCH, "blocks.sh")
        with open(script, "w") as out:
            out.write("\n".join(blocks))
        status, output, leftovers = run_alone(
            isolated(["bash", "-e", "-o", "pipefail", script]), timeout=90, cwd=tree)
        shown = "%s's runnable blocks:\n%s" % (os.path.relpath(path, SOURCE), output)
        self.assertIsNotNone(status, "timed out; " + shown)
        self.assertEqual(status, 0, shown)
        self.assertEqual(leftovers, [], "left running; " + shown)
        for reading in json_lines(output):
            if "ok" in reading:
                self.assertIs(reading["ok"], True, shown)
        return output

    def test_readme_blocks_run_as_written(self):
        self.assertTrue(runnable_blocks(README), "the README has no runnable block")
        output = self.run_file(README)
        readings = [r for r in json_lines(output) if "value" in r]
        self.assertTrue(readings, "no reading printed:\n" + output)
        self.assertTrue(any(r.get("command") == "tare" for r in json_lines(output)), output)

    def test_docs_blocks_run_as_written(self):
        for path in sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md"))):
            with self.subTest(page=os.path.basename(path)):
                self.run_file(path)


class ReadmeShape(unittest.TestCase):
    def test_under_200_lines(self):
        with open(README, encoding="utf-8") as text:
            self.assertLess(len(text.read().splitlines()), 200)

    def test_links_lead_to_files(self):
        for path in [README, *glob.glob(os.path.join(SOURCE, "docs", "*.md"))]:
            with open(path, encoding="utf-8") as text:
                targets = re.findall(r"\]\(([^)\s]+)\)", text.read())
            for target in targets:
                if re.match(r"^[a-z]+:", target) or target.startswith("#"):
                    continue
                local = os.path.join(os.path.dirname(path), target.split("#")[0])
                with self.subTest(page=os.path.relpath(path, SOURCE), link=target):
                    self.assertTrue(os.path.exists(local))


if __name__ == "__main__":
    if not BUILD or not SCRATCH:
        sys.exit("QEL_BUILD_DIR and QEL_SCRATCH must be set")
    unittest.main()
