"""Shared fixtures: a small cache, and helpers that read a cache's recency order."""

import pytest

import pelm_lib


@pytest.fixture
def cache():
    return pelm_lib.Cache(1000)


def snapshot(cache, keys):
    """What can be observed of a cache without changing it."""
    return (repr(cache), cache.len(), cache.size(), [k in cache for k in keys])
