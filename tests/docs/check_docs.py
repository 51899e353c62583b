"""Checks that what the manual page, the preview and the install rules promise is
what they do. One check per CTest entry:

  usage BINARY MANUAL          the manual's usage lines are the program's
  messages CASES MANUAL        every line that the golden cases under CASES expect
                               on standard output and standard error is a message
                               or warning of the manual, with the exit status it
                               gives, and every one the manual lists is expected
                               by some case (a standard error given as a pattern,
                               stderr.re, has no lines to check)
  preview BINARY PREVIEW       the preview draws grids, empty ones included
  preview-missing PREVIEW      the preview says what to install when numpy is missing
  install CMAKE BUILD_DIR MANUAL LICENSE   cmake --install gives a working program,
                               its page compressed, the licence and the changelogs
  version VERSION MANUAL CITATION CHANGELOG README   the manual's title line,
                               CITATION.cff, CHANGELOG.md and the README's package
                               name carry the project version, and CITATION.cff
                               the release date the changelog gives it

Exit status 0 passed, 1 failed, 77 skipped.
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what)


def run(args, cwd, env=None):
    p = subprocess.run(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


# --- the manual page as text ------------------------------------------------

ESCAPES = [("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\&", ""), ("\\(bu", "*"),
           ("\\(mu", "x"), ("\\e", "\\")]


def plain(text):
    """Text of a roff line without its font changes and escapes."""
    text = re.sub(r"\\f[BIRP]", "", text)
    for escape, char in ESCAPES:
        text = text.replace(escape, char)
    return text


def prose(line):
    """The words a roff line puts on the page: font macros give their
    arguments (the alternating ones without spaces), other requests nothing."""
    if not line.startswith("."):
        return plain(line)
    m = re.match(r"\.(B|I|SM|SB|BR|RB|IR|RI|BI|IB)(?: (.*))?$", line)
    if not m:
        return ""
    args = [a.strip('"') for a in re.findall(r'"[^"]*"|\S+', m.group(2) or "")]
    return plain(("" if len(m.group(1)) == 2 else " ").join(args))


def manual_lines(path):
    with open(path, encoding="utf-8") as f:
        return f.read().split("\n")


def manual_usage(lines):
    """The text lines between the usage markers' example block."""
    start, end = lines.index('.\\" usage:begin'), lines.index('.\\" usage:end')
    block = lines[start:end]
    ex, ee = block.index(".EX"), block.index(".EE")
    return [plain(line) for line in block[ex + 1:ee]]


def manual_templates(lines):
    """(section, regex, exit status) for each tagged paragraph of MESSAGES and
    WARNINGS. Italic parts of a tag are the variable parts of the message."""
    templates = []
    section = None
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith(".SH "):
            section = line[4:].strip('"')
        elif line == ".TP" and section in ("MESSAGES", "WARNINGS"):
            regex = italic_pattern(lines[i + 1])
            body = []
            for later in lines[i + 2:]:
                if later.startswith((".TP", ".SH", ".PP")):
                    break
                body.append(prose(later))
            body = " ".join(body)
            # "(with a count of 1: element)": the singular form is the same message.
            singular = re.search(r"with a count of 1: (\w+)", body)
            if singular:
                word = singular.group(1)
                regex = regex.replace(".+?" + re.escape(" %ss" % word),
                                      "(?:.+?%s|1%s)" % (re.escape(" %ss" % word), re.escape(" " + word)), 1)
            stated = re.search(r"Exit status (\d)\.", body)
            if stated:
                status = int(stated.group(1))
            elif section == "WARNINGS":
                status = 0 if "leaves the exit status 0" in body else 1
            else:
                status = 0
            templates.append((section, regex, status))
        i += 1
    return templates


# --- usage ------------------------------------------------------------------

def check_usage(binary, manual):
    expected = manual_usage(manual_lines(manual))
    check(len(expected) == 12, "the manual lists %d usage lines, not 12" % len(expected))
    with tempfile.TemporaryDirectory() as tmp:
        for args in ([], ["a.cfg", "b.cfg"]):
            status, out, err = run([binary] + args, tmp)
            check(status == 2, "%d arguments: exit status %d, the manual says 2" % (len(args), status))
            check(out.split("\n")[:-1] == expected,
                  "%d arguments: usage lines differ from the manual's:\n%s" % (len(args), out))
            check(err == "", "usage writes to standard error: " + err)


# --- messages and warnings --------------------------------------------------

# No configuration reaches this problem: the reader refuses "nan", "inf" and
# every number beyond the range of a double before the grid numbers are checked.
UNREACHABLE_PROBLEMS = {"a grid number is not finite"}


def manual_problems(lines):
    """The bullet list of problems under the message ConfigFile name: problem."""
    start = next(i for i, line in enumerate(lines) if line.startswith("\\fBConfigFile \\fIname\\fB: \\fIproblem"))
    problems = []
    for i in range(start, len(lines)):
        if lines[i] == ".RE":
            break
        if lines[i].startswith(".IP \\(bu"):
            problems.append(italic_pattern(lines[i + 1]))
    return problems


# The one variable part a pattern may have and still stand for its lines: the
# limit the grid's memory is more than, which depends on the machine.
MEMORY_LIMIT_PATTERN = ", more than [^;\\n]+; raise"


def sample_of_pattern(pattern):
    """The lines a stderr.re stands for, with a sample for the memory limit;
    None for any other pattern."""
    if MEMORY_LIMIT_PATTERN not in pattern:
        return None
    pattern = pattern.replace(MEMORY_LIMIT_PATTERN, ", more than the memory available; raise")
    pattern = pattern.replace("\\n", "\n")
    if re.search(r"(?<!\\)[][^$|?*+(){}]|\\[^.\\]", pattern.replace("\n", "")):
        return None
    return re.sub(r"\\(.)", r"\1", pattern)


def italic_pattern(item):
    """A tag or a problem of the manual as a regex: its italic parts are the
    variable parts."""
    parts = re.split(r"(\\f[BIRP])", item)
    regex, italic = "", False
    for part in parts:
        if re.fullmatch(r"\\f[BIRP]", part):
            italic = part == "\\fI"
        elif part:
            regex += ".+?" if italic else re.escape(plain(part))
    return regex


def read_cases(cases_dir):
    """(name, configuration name, stdout, stderr or None for a pattern, status)
    of every case folder (tests/cases/README.md has their files)."""
    def text(folder, name):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "surrogateescape")

    cases = []
    for name in sorted(os.listdir(cases_dir)):
        folder = os.path.join(cases_dir, name)
        if not os.path.isdir(folder):
            continue
        args = text(folder, "args").split("\n")[:-1] if os.path.exists(os.path.join(folder, "args")) else ["run.cfg"]
        stderr = text(folder, "stderr")
        if os.path.exists(os.path.join(folder, "stderr.re")):
            stderr = sample_of_pattern(text(folder, "stderr.re"))
        # The configuration comes after the options: the last argument.
        cases.append((name, args[-1] if args else None, text(folder, "stdout"), stderr,
                      int(text(folder, "status"))))
    return cases


def check_messages(cases_dir, manual):
    lines = manual_lines(manual)
    templates = manual_templates(lines)
    usage = manual_usage(lines)
    problems = manual_problems(lines)
    text = " ".join(prose(line) for line in lines)
    cases = read_cases(cases_dir)
    check(len(cases) > 0, "no case folders in " + cases_dir)
    used, printed_problems = set(), set()
    for name, config, out, err, status in cases:
        documented = 0
        out_lines = out.split("\n")[:-1]
        if out_lines[:len(usage)] == usage and (len(out_lines) == len(usage) or out_lines[len(usage)] == ""):
            # The usage lines alone (exit status 2), or the help: the usage
            # lines, a blank line and the options, which OPTIONS describes.
            documented, out_lines = (2 if len(out_lines) == len(usage) else 0), []
        elif out_lines[:len(usage)] == usage:
            # The usage lines and the line naming the problem of the command line.
            documented, out_lines = 2, out_lines[len(usage):]
        elif out_lines and out_lines[0].startswith("MeshRaster ") and status == 0:
            # --version: the name, the version and the licence.
            out_lines = []
        err_lines = (err or "").split("\n")[:-1]
        if out.startswith("GRIDREG\n"):
            # The grid itself went to standard output, and the messages with
            # the warnings to standard error.
            out_lines = [l for l in err_lines if any(t[0] == "MESSAGES" and re.fullmatch(t[1], l) for t in templates)]
            err_lines = [l for l in err_lines if l not in out_lines]
        printed = [("MESSAGES", l) for l in out_lines] + [("WARNINGS", l) for l in err_lines]
        for section, line in printed:
            if section == "WARNINGS" and line == "out of memory":
                check("the line out of memory goes to standard error" in text,
                      "the manual does not say that out of memory goes to standard error")
                documented = max(documented, 1)
                continue
            if section == "MESSAGES" and config and line.startswith("ConfigFile %s: " % config):
                problem = line[len("ConfigFile %s: " % config):]
                listed = [p for p in problems if re.fullmatch(p, problem)]
                check(listed, "%s: the manual does not list the problem %r" % (name, problem))
                printed_problems.update(listed)
            matches = [t for t in templates if t[0] == section and re.fullmatch(t[1], line)]
            check(len(matches) >= 1, "%s: the manual's %s do not list the line %r" % (name, section, line))
            for t in matches:
                used.add(t)
                documented = max(documented, t[2])
        check(documented == status, "%s: the manual's messages give exit status %d, the case expects %d"
              % (name, documented, status))
    for t in templates:
        check(t in used, "the manual lists %s %r, which no case expects" % (t[0], t[1]))
    for problem in problems:
        check(problem in printed_problems or any(re.fullmatch(problem, u) for u in UNREACHABLE_PROBLEMS),
              "the manual lists the problem %r, which no case expects" % problem)
    check(any(out == "\n".join(usage) + "\n" for _, _, out, _, _ in cases), "no case expects the usage lines")


# --- preview ----------------------------------------------------------------

def is_png(path):
    try:
        with open(path, "rb") as f:
            return f.read(8) == b"\x89PNG\r\n\x1a\n"
    except OSError:
        return False


NODES = "ZONE N=4, E=1, F=FEPOINT, ET=QUADRILATERAL\n3 0 1 0 0\n3 3 2 0 0\n0.5 3 3 0 0\n0.5 0 4 0 0\n"


def check_preview(binary, preview):
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "in.dat"), "w") as f:
            f.write(NODES + "1 2 3 4\n")
        configs = {
            "small": "PileHeight xmin 0 ymin 0 xmax 4 ymax 3 resx 1 resy 1 output small.grd input in.dat",
            "rows0": "PileHeight xmin 0 ymin 0 xmax 4 ymax 0.5 resx 1 resy 1 output rows0.grd input in.dat",
            "cols0": "PileHeight xmin 0 ymin 0 xmax 0.5 ymax 3 resx 1 resy 1 output cols0.grd input in.dat",
        }
        for name, cfg in configs.items():
            with open(os.path.join(tmp, name + ".cfg"), "w") as f:
                f.write(cfg + "\n")
            run([binary, name + ".cfg"], tmp)
        expect = {
            # The north edge comes back without the ten-million shift.
            "small.grd": "4 columns x 3 rows, x 0 to 4, y 0 to 3, pile height ",
            "rows0.grd": "4 columns x 0 rows, x 0 to 4, y 0.5 to 0.5, no cells",
            "cols0.grd": "0 columns x 3 rows, x 0 to 0, y 0 to 3, no cells",
        }
        for grid, summary in expect.items():
            status, out, err = run([sys.executable, preview, grid], tmp)
            if status == 3:
                print("SKIPPED: " + err.strip())
                return SKIP
            picture = os.path.join(tmp, grid[:-4] + ".png")
            check(status == 0, "%s: preview exit status %d: %s" % (grid, status, err))
            check(summary in out, "%s: preview says %r, expected %r" % (grid, out, summary))
            check(is_png(picture), "%s: %s is not a PNG file" % (grid, picture))
        # The mode guessed from the name or given, another picture name.
        with open(os.path.join(tmp, "flow_vel.grd"), "w") as f:
            f.write("GRIDREG\nINFO\nUNITS  meters\n//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  "
                    "<resX>  <resY>  <nodatavalue>\nGRIDDEF 3 2 100 10000050 10 5 3.4e+037\n"
                    "INFO_END\n0 0 9 \n1.5 0 0 \nEND\n")
        for args, summary in ((["flow_vel.grd"], "x 100 to 130, y 40 to 50, velocity 1.5 to 9 m/s in 2 cells"),
                              (["--mode", "pileheight", "flow_vel.grd", "p.png"], "pile height 1.5 to 9 m")):
            status, out, err = run([sys.executable, preview] + args, tmp)
            check(status == 0 and summary in out, "%s: preview said %r %r" % (args, out, err))
            check(is_png(os.path.join(tmp, args[-1][:-4] + ".png")), "%s: no PNG file" % args)
        # A file that is not a whole grid file fails with a message naming it.
        with open(os.path.join(tmp, "cut.grd"), "w") as f:
            f.write("GRIDREG\nINFO\nGRIDDEF 3 2 100 10000050 10 5 3.4e+037\nINFO_END\n0 0 9 \n")
        status, out, err = run([sys.executable, preview, "cut.grd"], tmp)
        check(status == 1 and err.startswith("preview: cut.grd: "),
              "cut grid: exit status %d, message %r" % (status, err))
        check(not os.path.exists(os.path.join(tmp, "cut.png")), "cut grid: a picture was written")
    return 0


def check_preview_missing(preview):
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(os.path.join(tmp, "numpy"))
        with open(os.path.join(tmp, "numpy", "__init__.py"), "w") as f:
            f.write("raise ImportError('No module named numpy')\n")
        with open(os.path.join(tmp, "g.grd"), "w") as f:
            f.write("GRIDREG\n")
        env = dict(os.environ, PYTHONPATH=tmp)
        status, out, err = run([sys.executable, preview, "g.grd"], tmp, env)
        check(status == 3, "missing numpy: exit status %d, expected 3" % status)
        check("numpy and matplotlib" in err and "apt-get install python3-numpy python3-matplotlib" in err,
              "missing numpy: message %r" % err)


# --- install ----------------------------------------------------------------

def gzip_content(path):
    """The content of a gzip file made as Debian wants (gzip -9n: no name and
    no time stamp in the header, so the same sources give the same bytes), or
    None after a failed check."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError:
        check(False, "%s is missing" % path)
        return None
    check(raw[:2] == b"\x1f\x8b" and not raw[3] & 0x08 and raw[4:8] == b"\0\0\0\0",
          "%s is not compressed with gzip -n (name or time stamp in its header)" % path)
    return gzip.decompress(raw)


def check_install(cmake, build_dir, manual, licence):
    with tempfile.TemporaryDirectory() as root:
        status, out, err = run([cmake, "--install", build_dir, "--prefix", root], root)
        check(status == 0, "cmake --install failed: " + out + err)
        program = os.path.join(root, "bin", "MeshRaster")
        check(os.access(program, os.X_OK), "no executable bin/MeshRaster")
        if os.access(program, os.X_OK):
            status, out, err = run([program], root)
            check(status == 2 and out.startswith("Use MeshRaster ConfigFile\n"),
                  "installed program: exit status %d, output %r" % (status, out))
        page = gzip_content(os.path.join(root, "share", "man", "man1", "MeshRaster.1.gz"))
        check(page is None or page == open(manual, "rb").read(),
              "share/man/man1/MeshRaster.1.gz is not the manual page")
        doc = os.path.join(root, "share", "doc", "meshraster")
        copyright_file = os.path.join(doc, "copyright")
        check(os.path.isfile(copyright_file) and open(copyright_file, "rb").read() == open(licence, "rb").read(),
              "share/doc/meshraster/copyright is not the licence")
        for name in ("changelog.gz", "changelog.Debian.gz"):
            text = gzip_content(os.path.join(doc, name))
            check(text is None or len(text) > 0, "share/doc/meshraster/%s is empty" % name)


# --- version ----------------------------------------------------------------

def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def check_version(version, manual, citation, changelog, readme):
    title = next((line for line in manual_lines(manual) if line.startswith(".TH ")), "")
    fields = [f.strip('"') for f in re.findall(r'"[^"]*"|\S+', title)]
    check(len(fields) > 4 and fields[4] == "MeshRaster " + version,
          "the manual's title line %r does not carry \"MeshRaster %s\"" % (title, version))

    cff = read_text(citation)
    stated = re.search(r"^version: *\"?([^\"\s]*)\"?\s*$", cff, re.M)
    check(stated is not None and stated.group(1) == version,
          "CITATION.cff gives the version %r, not %s" % (stated and stated.group(1), version))

    release = re.search(r"^## \[%s\] - (\d{4}-\d\d-\d\d)$" % re.escape(version), read_text(changelog), re.M)
    check(release is not None, "CHANGELOG.md has no heading \"## [%s] - YYYY-MM-DD\"" % version)
    released = re.search(r"^date-released: *\"?([^\"\s]*)\"?\s*$", cff, re.M)
    if release is not None:
        check(released is not None and released.group(1) == release.group(1),
              "CITATION.cff gives the release date %r, CHANGELOG.md %s"
              % (released and released.group(1), release.group(1)))

    # The package's file name, meshraster_VERSION-REVISION_ARCH.deb.
    named = re.findall(r"meshraster_([0-9][0-9.]*)[-_]", read_text(readme))
    check(len(named) > 0, "the README names no package file")
    for other in named:
        check(other == version, "the README names the package of version %s, not %s" % (other, version))


def main(argv):
    # Paths may be given relative to here; the checks run in other folders.
    what, args = argv[1], [os.path.abspath(a) if os.path.exists(a) else a for a in argv[2:]]
    if what == "usage":
        check_usage(*args)
    elif what == "messages":
        check_messages(*args)
    elif what == "preview":
        if check_preview(*args) == SKIP:
            return SKIP
    elif what == "preview-missing":
        check_preview_missing(*args)
    elif what == "install":
        check_install(*args)
    elif what == "version":
        check_version(*args)
    else:
        print("unknown check " + what)
        return 1
    print("%s: %s" % (what, "failed" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
