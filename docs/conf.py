# Sphinx configuration of the orvex documentation (make docs).
import pathlib
import sys

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import orvex  # noqa: E402  (the installed package is documented)

project = "orvex"
copyright = "the orvex developers; GPL-2.0-or-later"
version = release = orvex.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "numpydoc",
    "matplotlib.sphinxext.plot_directive",
    "orvex_docs",
]

templates_path = ["_templates"]
exclude_patterns = ["_build"]
default_role = "autolink"
# `name` in the guide links to orvex.spqr's objects, as in the docstrings.
rst_prolog = ".. currentmodule:: orvex.spqr\n"
# MathJax is served with the pages (copied by orvex_docs): no network needed.
mathjax_path = "mathjax/tex-svg.js"
nitpicky = True
# Names outside this project: without network access there is no
# intersphinx inventory for Python, NumPy or SciPy.
nitpick_ignore_regex = [
    (r"py:(class|exc|obj|func|meth)", r"(builtins\.)?[A-Z]\w*(Error|Warning|Exception)"),
    (r"py:(class|obj|func|meth)", r"(numpy|scipy)\..*"),
]

autosummary_generate = True
autodoc_typehints = "none"
autodoc_default_options = {"members": False}
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks = set()

doctest_global_setup = "import numpy as np"
doctest_test_doctest_blocks = "default"

plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.autolayout": True, "font.size": 9}

html_theme = "pydata_sphinx_theme"
html_title = f"orvex {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    # The wide tables of measurements get the whole width.
    "secondary_sidebar_items": {"**": ["page-toc"], "guide/comparison": [],
                                "guide/performance": [], "guide/orderings": []},
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {"index": []}
html_static_path = []
html_copy_source = False
html_show_sourcelink = False
