"""Leak soak, short version: every public operation of orvex.spqr and its
error paths, a few hundred times after a warm-up (tests/soak.py; the full
soak is ``make soak``)."""
import pytest

import soak
from conftest import SANITIZED, needs_test_hooks, rss_measuring

pytestmark = needs_test_hooks


@pytest.fixture(scope="module")
def figures():
    if SANITIZED:  # slower there, and only the workspace counters are judged
        return soak.soak(iterations=64, warmup=8)
    return soak.soak(iterations=300, warmup=200)


def test_workspace_counters_return_to_baseline(figures):
    assert figures["iterations_with_counter_drift"] == 0, figures["first_counter_drift"]
    assert figures["counter_end"] == figures["counter_baseline"]
    assert all(count > 0 for count, _ in figures["counter_baseline"])


@rss_measuring
def test_resident_memory_is_stable(figures):
    assert figures["rss_growth"] < soak.RSS_LIMIT, figures
