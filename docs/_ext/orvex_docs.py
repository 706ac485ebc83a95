"""Build-time content of the orvex documentation.

* ``.. orvex-exec::`` runs its Python content while the page is read and
  inserts what it prints as reStructuredText: tables of figures measured
  during the build.
* ``.. benchmark-table::`` renders a table of the benchmark report
  (benchmarks/results/latest.md, written by ``make bench``), optionally
  restricted to some rows and columns, so the pages quote the measured
  figures rather than restate them.
* ``load_matrix``, ``measure_orderings`` and ``ORDER_NAMES`` are shared by the
  measured tables and the pictures (plot directives import this module).
* ``rank_flag_table`` measures orvex.rank on the singular matrices of
  tests/data/rank against their dense-SVD reference ranks.
"""

import contextlib
import io
import json
import pathlib
import re
import shutil
import statistics
import time

import numpy as np
import scipy.io
from docutils import nodes
from docutils.parsers.rst import Directive, directives
from docutils.statemachine import StringList
from scipy.sparse import csc_array

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
REPORT = ROOT / "benchmarks" / "results" / "latest.md"
REPORT_JSON = ROOT / "benchmarks" / "results" / "latest.json"
RESULTS = ROOT / "benchmarks" / "results"


def _order_names():
    from orvex.spqr.frame import docs
    return [name for name, _ in docs.ORDERINGS]


ORDER_NAMES = _order_names()


def load_matrix(name):
    """A matrix of tests/data as a float64 (or complex128) csc_array."""
    A = scipy.io.mmread(DATA / f"{name}.mtx")
    return csc_array(A, dtype=np.complex128 if A.dtype.kind == "c" else np.float64)


_MEASURED = {}


def _median_time(fn, repeats=7):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure_orderings(name):
    """Per ordering: nnz(R), flops, rank, analysis and refactorization times.

    Measured once per build and matrix; the tables and the charts of one
    build show the same run.
    """
    if name in _MEASURED:
        return _MEASURED[name]
    from orvex.spqr import SPQRFactor, spqr
    A = load_matrix(name)
    rows = []
    for order in ORDER_NAMES:
        f = SPQRFactor(A, order=order).factorize(A)
        R, _ = spqr(A, mode="r", order=order)
        info = f.info
        rows.append({
            "order": order,
            "chosen": info.ordering,
            "nnz_R": int(R.nnz),
            "flops": int(info.flops),
            "rank": int(f.rank),
            "analyze": _median_time(lambda: SPQRFactor(A, order=order)),
            "factorize": _median_time(lambda: f.factorize(A)),
        })
    _MEASURED[name] = A, rows
    return A, rows


def format_seconds(t):
    if t >= 1.0:
        return f"{t:.2f} s"
    return f"{t * 1e3:.2f} ms" if t >= 1e-3 else f"{t * 1e6:.1f} µs"


def peer_table(op, peers, accuracy=False):
    """Rows of the benchmark report (latest.json) for one orvex operation
    against its peers: median times and the peer/orvex ratio, or with
    ``accuracy`` the normal-equations residual of each solution (and the
    iterations of iterative solvers, the solution norm of minimum-norm
    cases)."""
    report = json.loads(REPORT_JSON.read_text(encoding="utf-8"))
    rows = []
    for case in report["cases"]:
        ours = case["orvex"].get(op)
        if ours is None:
            continue
        meta = case["meta"]
        name = case["name"] + (" ★" if meta.get("large") else "")
        minnorm = meta.get("kind") == "minnorm"

        def cell(result, ratio_to=None):
            if result is None:
                return "—"
            if not accuracy:
                text = format_seconds(result["median"])
                if ratio_to:
                    text += f" ({result['median'] / ratio_to:.2g}×)"
                return text
            acc = result.get("accuracy") or {}
            if "AHr" not in acc:
                return "—"
            text = f"{acc['AHr']:.1e}"
            if "iterations" in acc:
                text += f", {acc['iterations']} it"
            if minnorm and "x" in acc:
                text += f"; ‖x‖ {acc['x']:.6g}"
            return text

        rows.append([name, cell(ours)]
                    + [cell(case["peers"].get(peer), ours["median"]) for peer in peers])
    return rows



def case_list():
    """The benchmark cases with their shapes, as reST bullets."""
    report = json.loads(REPORT_JSON.read_text(encoding="utf-8"))
    lines = []
    for case in report["cases"]:
        meta = case["meta"]
        lines.append(f"* **{case['name']}**{' ★' if meta.get('large') else ''}: "
                     f"{meta['description']}, {meta['nnz']:,} nonzeros")
    return lines + [""]

# -- reStructuredText output --------------------------------------------------

def list_table(header, rows, widths=None):
    """Lines of a list-table directive."""
    lines = [".. list-table::", "   :header-rows: 1"]
    if widths:
        lines.append("   :widths: " + " ".join(map(str, widths)))
    lines.append("")
    for row in [header] + rows:
        for i, cell in enumerate(row):
            lines.append(("   * - " if i == 0 else "     - ") + str(cell))
    return lines + [""]


def _markdown_cell(text):
    # Inline code of the report becomes inline literals; nothing else in
    # the report's cells is markup.
    parts = re.split(r"(`[^`]+`)", text.strip())
    return "".join("`" + part + "`" if part.startswith("`") else part.replace("|", "\\|")
                   for part in parts)


def rank_flag_table():
    """Lines of a table: per tolerance of the reference files and per tool,
    how many matrices of tests/data/rank get each flag, how many certain
    ranks differ from the SVD rank, and how often SPQR's column dropping is
    right."""
    import sys
    import warnings
    import orvex.rank as rk
    sys.path.insert(0, str(ROOT / "tests" / "rank"))
    from rank_matrices import NAMES, load
    tools = ["auto", "basic", "null", "cod", "pinv"]
    keys = {"eps_norm2": "eps", "spqr_rank_default": "default"}
    counts = {(k, t): [0] * 5 for k in keys for t in tools}
    wrong = {k: 0 for k in keys}
    spqr_right = {k: 0 for k in keys}
    for name in NAMES:
        A, ref = load(name)
        sv = np.asarray(ref["singular_values"])
        for key in keys:
            tol, rank = ref["ranks"][key]["tol"], ref["ranks"][key]["rank"]
            for tool in tools:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", rk.RankWarning)
                    res = rk.rank_estimate(A, tol, method=tool)
                counts[key, tool][res.flag] += 1
                if (res.flag == 0 and res.rank != rank
                        or res.flag == 1 and res.rank != int(np.sum(sv > res.tol_alt))):
                    wrong[key] += 1
                if tool == "basic":
                    spqr_right[key] += res.rank_spqr == rank
    if any(wrong.values()):
        raise AssertionError(f"certain ranks that differ from the SVD rank: {wrong}")
    header = ["tolerance", "tool", "certain (0)", "certain at tol_alt (1)",
              "uncertain (2, 3)", "overflow (4)", "SPQR's rank right"]
    rows = []
    for key, label in keys.items():
        for tool in tools:
            c = counts[key, tool]
            rows.append([label, tool, c[0], c[1], c[2] + c[3], c[4],
                         f"{spqr_right[key]} of {len(NAMES)}" if tool == "auto" else ""])
    return [f"{len(NAMES)} matrices. Tolerance \"eps\": :math:`\\max(m, n)\\,\\varepsilon\\,"
            "\\sigma_1`; \"default\": :math:`\\max(m, n)\\,\\mathrm{spacing}(\\|A\\|_2)` "
            "with the norm estimated. ``auto`` tries basic, cod and null in turn until one "
            "is certain.", ""] + list_table(header, rows)


def report_sections(path=REPORT):
    """The report's sections: heading -> list of lines (the lines before the
    first heading under "")."""
    sections, current = {}, None
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("## "):
            current = sections.setdefault(line[3:].strip(), [])
        elif line.startswith("# ") and current is None:
            current = sections.setdefault("", [])
        elif current is not None:
            current.append(line)
    return sections


def report_table(section, path=REPORT):
    """(header, rows) of the first Markdown table of a report section."""
    lines = [l for l in report_sections(path)[section] if l.startswith("|")]
    # A doubled bar is a norm (||A N||) inside a cell, not two separators.
    cells = [re.split(r"(?<!\|)\|(?!\|)", l.strip()[1:-1]) for l in lines]
    header, rows = cells[0], cells[2:]
    return [c.strip() for c in header], rows


def report_header(path=REPORT):
    """The line that says when and how the report was made."""
    for line in path.read_text(encoding="utf-8").splitlines()[1:]:
        if line.strip():
            return _markdown_cell(line)
    raise ValueError("empty benchmark report")


class _InsertRst(Directive):
    def insert(self, lines):
        source = self.state_machine.get_source_and_line(self.lineno)[0]
        node = nodes.container()
        self.state.nested_parse(StringList(lines, source=source), self.content_offset, node)
        return node.children


class OrvexExec(_InsertRst):
    """Run Python code at build time; its printed output is reST."""

    has_content = True

    def run(self):
        out = io.StringIO()
        namespace = {"__name__": "orvex_exec"}
        try:
            with contextlib.redirect_stdout(out):
                exec(compile("\n".join(self.content), "<orvex-exec>", "exec"), namespace)
        except Exception as exc:
            raise self.error(f"orvex-exec failed: {type(exc).__name__}: {exc}") from exc
        return self.insert(out.getvalue().splitlines())


class BenchmarkTable(_InsertRst):
    """A table of the benchmark report.

    Options: ``report`` (a file of benchmarks/results, latest.md by
    default), ``section`` (the report heading; empty: the table before the
    first heading), ``match`` (a regular
    expression a row must match, on its cells joined by " | "), ``columns``
    (comma-separated column numbers to keep, from 0) and ``widths``.
    """

    required_arguments = 0
    option_spec = {"section": directives.unchanged,
                   "report": directives.unchanged,
                   "match": directives.unchanged,
                   "columns": directives.unchanged,
                   "widths": directives.unchanged}

    def run(self):
        env = self.state.document.settings.env
        path = RESULTS / self.options.get("report", "latest.md")
        env.note_dependency(str(path))
        header, rows = report_table(self.options.get("section") or "", path)
        if "match" in self.options:
            pattern = re.compile(self.options["match"])
            rows = [r for r in rows if pattern.search(" | ".join(c.strip() for c in r))]
        if not rows:
            raise self.error(f"no row of the benchmark report matches {self.options}")
        keep = (list(range(len(header))) if "columns" not in self.options
                else [int(c) for c in self.options["columns"].split(",")])
        widths = self.options.get("widths")
        lines = list_table([header[i] for i in keep],
                           [[_markdown_cell(r[i]) for i in keep] for r in rows],
                           widths.split() if widths else None)
        return self.insert(lines)


def _mathjax_file():
    """MathJax's self-contained SVG build, from the pinned offline package."""
    from importlib.metadata import files
    for f in files("sphinx-mathjax-offline"):
        if str(f).endswith("static/mathjax/tex-svg.js"):
            return pathlib.Path(f.locate())
    raise FileNotFoundError("tex-svg.js of sphinx-mathjax-offline")


def _copy_mathjax(app, exc):
    # The pages render their formulas without network access.
    if exc is None and app.builder.format == "html":
        target = pathlib.Path(app.outdir) / "_static" / "mathjax"
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy(_mathjax_file(), target / "tex-svg.js")


def _keep_attribute_descriptions():
    """Attributes keep the description the class docstring gives them.

    numpydoc replaces it by the first sentence of the property's own
    docstring; the class docstring of SPQRFactor says more (what `perm` is
    for a rank-deficient matrix, for one), and the link to the property's
    page stays.
    """
    from numpydoc.docscrape_sphinx import SphinxDocString
    process = SphinxDocString._process_param

    def process_param(self, param, desc, fake_autosummary):
        display, summary = process(self, param, desc, fake_autosummary)
        return display, (desc if desc else summary)

    SphinxDocString._process_param = process_param


def setup(app):
    _keep_attribute_descriptions()
    app.connect("build-finished", _copy_mathjax)
    app.add_directive("orvex-exec", OrvexExec)
    app.add_directive("benchmark-table", BenchmarkTable)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
