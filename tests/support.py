"""Helpers shared by the test modules."""

import numpy as np


def bits(a):
    """The bits of each value; every NaN counts as the same value (the sign
    and payload of a NaN produced by inf - inf are not part of the result)."""
    a = np.array(a, dtype=np.float64)
    a[np.isnan(a)] = np.nan
    return a.view(np.int64)


class FakeNumpy:
    """Stands in for a module's `np`: forwards to NumPy, with some attributes
    replaced."""

    float64 = np.float64
    intp = np.intp

    def __init__(self, **overrides):
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(np, name)
