"""Pairwise distance kernels: results bit for bit against a strict
column-order reference, every layout, edge cases and failure lines."""

import traceback

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from kelpwise.accel import _tarsine
from kelpwise.accel.reference import DISTANCE_KINDS, distances, pow_half

import support
from support import FakeNumpy, bits_equal

# the traceback line of each function's result allocation
FUNCS = {fn.name: fn.result_line for fn in support.FUNCS if fn.module == "_tarsine"}


def reference(name, X, Y):
    return distances(DISTANCE_KINDS[name], X, Y)


def layouts(a):
    """The same matrix in many memory layouts."""
    yield "C", np.ascontiguousarray(a)
    yield "F", np.asfortranarray(a)
    yield "T", np.ascontiguousarray(a.T).T
    big = np.zeros((a.shape[0] * 2 + 1, a.shape[1] * 3 + 2))
    view = big[1::2, 2::3]
    view[...] = a
    yield "strided", view
    rev = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    yield "reversed", rev
    ro = a.copy()
    ro.flags.writeable = False
    yield "readonly", ro
    yield "subclass", a.view(type("Sub", (np.ndarray,), {}))
    raw = np.zeros(a.size * 8 + 1, np.uint8)[1:].view(np.float64).reshape(a.shape)
    raw[...] = a
    yield "unaligned", raw


@pytest.mark.parametrize("name", FUNCS)
def test_worked_example(name):
    f = getattr(_tarsine, name)
    out = f(np.array([[0.0, 0.0]]), np.array([[3.0, 4.0]]))
    assert out.tolist() == [[{"pairwise_squared_euclidean": 25.0, "pairwise_distances": 5.0,
                               "pairwise_manhattan_distances": 7.0}[name]]]


@pytest.mark.parametrize("name", FUNCS)
def test_every_layout_matches_reference(name):
    rng = np.random.default_rng(1)
    X = rng.standard_normal((7, 5)) * 10.0 ** rng.integers(-3, 4, (7, 5))
    Y = rng.standard_normal((6, 5))
    expected = reference(name, X, Y)
    f = getattr(_tarsine, name)
    for lx, Xl in layouts(X):
        for ly, Yl in layouts(Y):
            out = f(Xl, Yl)
            assert type(out) is np.ndarray and out.flags.c_contiguous, (lx, ly)
            assert bits_equal(out, expected)


@pytest.mark.parametrize("name", FUNCS)
def test_broadcast_inputs(name):
    row = np.array([1.5, -2.0, 3.25])
    X = np.broadcast_to(row, (4, 3))  # zero row stride, read-only
    Y = np.broadcast_to(np.array([[1.0], [2.0]]), (2, 3))  # zero column stride
    assert bits_equal(getattr(_tarsine, name)(X, Y), reference(name, np.array(X), np.array(Y)))


@pytest.mark.parametrize("name", FUNCS)
def test_matches_cdist(name):
    from scipy.spatial.distance import cdist

    metric = {"pairwise_squared_euclidean": "sqeuclidean", "pairwise_distances": "euclidean",
              "pairwise_manhattan_distances": "cityblock"}[name]
    rng = np.random.default_rng(2)
    # sizes that are not multiples of any vector width
    X = rng.standard_normal((37, 13))
    Y = rng.standard_normal((29, 13))
    out = getattr(_tarsine, name)(X, Y)
    assert bits_equal(out, reference(name, X, Y))
    if metric != "euclidean":  # cdist takes sqrt, we take pow(., 0.5)
        assert bits_equal(out, cdist(X, Y, metric))
    else:
        np.testing.assert_allclose(out, cdist(X, Y, metric), rtol=1e-15)


finite = st.floats(-1e6, 1e6, allow_nan=False, width=64)
special = st.sampled_from([0.0, -0.0, np.inf, -np.inf, np.nan, 1e308, -1e308, 5e-324])


@settings(deadline=None)
@given(
    name=st.sampled_from(list(FUNCS)),
    n=st.integers(0, 9), m=st.integers(0, 9), d=st.integers(0, 11), extra=st.integers(0, 3),
    data=st.data(),
)
def test_property_random_shapes_and_values(name, n, m, d, extra, data):
    elems = st.one_of(finite, special)
    X = data.draw(hnp.arrays(np.float64, (n, d), elements=elems))
    Y = data.draw(hnp.arrays(np.float64, (m, d + extra), elements=elems))
    # random strided views of the same data
    if data.draw(st.booleans()):
        X = np.asfortranarray(X)
    if data.draw(st.booleans()) and m > 0:
        Y = Y[::-1]
    with np.errstate(all="ignore"):
        expected = reference(name, X, Y[:, :d])
    assert bits_equal(getattr(_tarsine, name)(X, Y), expected)


@pytest.mark.parametrize("name", FUNCS)
def test_empty_and_zero_width(name):
    f = getattr(_tarsine, name)
    assert f(np.zeros((0, 3)), np.zeros((4, 3))).shape == (0, 4)
    assert f(np.zeros((2, 3)), np.zeros((0, 3))).shape == (2, 0)
    out = f(np.ones((2, 0)), np.ones((3, 0)))
    assert bits_equal(out, np.zeros((2, 3)))


@pytest.mark.parametrize("name", FUNCS)
def test_same_array_gives_symmetric_matrix_with_zero_diagonal(name):
    X = np.random.default_rng(3).standard_normal((9, 4))
    out = getattr(_tarsine, name)(X, X)
    assert bits_equal(np.diag(out), np.zeros(9))
    assert bits_equal(out, out.T)


@pytest.mark.parametrize("name", FUNCS)
def test_extra_columns_of_y_are_ignored(name):
    X = np.array([[1.0, 2.0]])
    Y = np.array([[0.0, 0.0, np.nan, 7.0, 8.0]])
    assert bits_equal(getattr(_tarsine, name)(X, Y), reference(name, X, Y[:, :2]))


@pytest.mark.parametrize("name", FUNCS)
def test_nan_poisons_its_row_and_column(name):
    X = np.ones((3, 2))
    Y = np.zeros((4, 2))
    X[1, 0] = np.nan
    Y[2, 1] = np.nan
    out = getattr(_tarsine, name)(X, Y)
    assert np.isnan(out[1]).all() and np.isnan(out[:, 2]).all()
    assert np.isnan(out).sum() == 4 + 3 - 1


def test_overflow_and_infinity():
    X = np.array([[1e200, 0.0], [np.inf, 0.0], [np.inf, 0.0]])
    Y = np.array([[-1e200, 0.0], [0.0, 0.0], [np.inf, 0.0]])
    sq = _tarsine.pairwise_squared_euclidean(X, Y)
    assert sq[0, 0] == np.inf and sq[1, 1] == np.inf and np.isnan(sq[2, 2])
    assert _tarsine.pairwise_manhattan_distances(X, Y)[0, 0] == 2e200


@pytest.mark.parametrize("name", FUNCS)
def test_inputs_unchanged(name):
    X = np.random.default_rng(4).standard_normal((5, 3))
    Y = X[::2].copy()
    Xc, Yc = X.copy(), Y.copy()
    getattr(_tarsine, name)(X, Y)
    assert bits_equal(X, Xc) and bits_equal(Y, Yc)


@pytest.mark.parametrize("name", FUNCS)
def test_y_with_fewer_columns_is_refused(name):
    with pytest.raises(ValueError, match="Y has 2 columns, fewer than the 3 columns of X"):
        getattr(_tarsine, name)(np.zeros((1, 3)), np.zeros((5, 2)))


def _empty(result):
    """An np whose empty makes the (n, m) float64 result with `result`."""

    def empty(shape, dtype):
        assert dtype is np.float64
        return result(shape)

    return FakeNumpy(empty=empty)


@pytest.mark.parametrize("name", FUNCS)
@pytest.mark.parametrize(
    "fake, exc, message",
    [
        (lambda shape: [0.0], TypeError, "Cannot convert list to numpy.ndarray"),
        (lambda shape: None, TypeError, "Cannot convert NoneType to numpy.ndarray"),
        (lambda shape: np.empty(shape, np.float32), ValueError,
         "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
        (lambda shape: np.empty(shape[0]), ValueError,
         "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (lambda shape: np.broadcast_to(0.0, shape), ValueError, "buffer source array is read-only"),
    ],
)
def test_result_allocation_failures(monkeypatch, name, fake, exc, message):
    monkeypatch.setattr(_tarsine, "np", _empty(fake))
    with pytest.raises(exc) as info:
        getattr(_tarsine, name)(np.zeros((2, 2)), np.zeros((3, 2)))
    assert str(info.value) == message
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == (
        f"kelpwise.accel._tarsine.{name}", "kelpwise/accel/_tarsine", FUNCS[name])


@pytest.mark.parametrize("name", FUNCS)
def test_np_is_looked_up_at_each_call(monkeypatch, name):
    f = getattr(_tarsine, name)
    X = np.zeros((2, 2))
    monkeypatch.delattr(_tarsine, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        f(X, X)
    monkeypatch.setattr("builtins.np", np, raising=False)
    assert f(X, X).shape == (2, 2)  # found in the builtins
    calls = []
    monkeypatch.setattr(_tarsine, "np", _empty(lambda shape: calls.append(shape) or np.full(shape, 7.0)), raising=False)
    assert bits_equal(f(X, X[:1]), np.zeros((2, 1)))  # every element written
    assert calls == [(2, 1)] and all(type(v) is int for v in calls[0])


def test_numpy_errors_propagate_unchanged(monkeypatch):
    def refuse(shape):
        raise MemoryError("no room")

    monkeypatch.setattr(_tarsine, "np", _empty(refuse))
    with pytest.raises(MemoryError, match="^no room$"):
        _tarsine.pairwise_distances(np.zeros((2, 2)), np.zeros((2, 2)))


@pytest.mark.parametrize("name", FUNCS)
def test_vector_paths_at_block_edges(name):
    """Sizes around the vector widths (2, 4, 8 lanes), the row blocking and
    the panel pairs, with special values, against the plain reference."""
    rng = np.random.default_rng(6)
    f = getattr(_tarsine, name)
    for n in (1, 3, 4, 5, 6, 7, 12, 13):
        for m in (1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 40):
            d = (n + m) % 6 + 1
            X = rng.standard_normal((n, d)) * 1e150
            Y = rng.standard_normal((m, d + 1))
            spots = X.flat[:: max(1, X.size // 3)]
            X.flat[:: max(1, X.size // 3)] = [np.nan, np.inf, -np.inf, 5e-324, -0.0][: len(spots)]
            with np.errstate(all="ignore"):
                expected = reference(name, X, Y[:, :d])
            assert bits_equal(f(X, Y), expected)
            assert bits_equal(f(X[::-1], np.asfortranarray(Y)[::-1]), expected[::-1, ::-1])


@pytest.mark.parametrize("name", FUNCS)
def test_strided_result_from_np(monkeypatch, name):
    """A result whose rows are not contiguous (an np rebound to return a
    strided view) is written through its strides."""
    strided = _empty(lambda shape: np.full((shape[0], shape[1] * 2), 99.0)[:, ::-2])
    X = np.random.default_rng(8).standard_normal((9, 5))
    Y = np.random.default_rng(9).standard_normal((21, 5))
    monkeypatch.setattr(_tarsine, "np", strided)
    assert bits_equal(getattr(_tarsine, name)(X, Y), reference(name, X, Y))


@pytest.mark.parametrize("d", [2, 3, 8])
def test_root_is_pow_bit_for_bit_where_sqrt_differs(d):
    """The vector root pass takes sqrt only where it can prove that pow
    returns the same double; the data must hold entries where pow and the
    correctly rounded sqrt differ, or the test could not catch a pass that
    always took sqrt."""
    rng = np.random.default_rng(d)
    X = rng.standard_normal((700, d)) * np.exp2(rng.integers(-30, 30, (700, 1)))
    Y = rng.standard_normal((1021, d))  # odd count: lanes left for the tail
    acc = reference("pairwise_squared_euclidean", X, Y)
    want = pow_half(acc)
    got = _tarsine.pairwise_distances(X, Y)
    assert bits_equal(got, want)
    assert not bits_equal(np.sqrt(acc), want)


@pytest.mark.parametrize(
    "values",
    [
        # squares: 0, 1, 4, 2^-1074, 2^-1000, 2^-900, 2^900, 2^1000, 2^-1074 (rounded), 9
        [0.0, 1.0, 2.0, 2.0**-537, 2.0**-500, 2.0**-450, 2.0**450, 2.0**500, 3e-162, 3.0],
        # overflow to inf, inf, NaN, subnormal and near-range squares, powers of two
        [1e200, np.inf, np.nan, 1e-160, 2.0**-449.5, 2.0**449.5, 0.5, 2.0**-20, np.sqrt(2.0), -7.0],
        [np.nextafter(2.0, 0), np.nextafter(2.0, 9), np.nextafter(1.0, 0), 1.0 + 2.0**-52, 2.0**26 + 1, 1.5, 1e-5, 5e5],
    ],
)
@pytest.mark.filterwarnings("ignore:overflow encountered")
def test_root_special_and_boundary_accumulators(values):
    """Accumulators at powers of two, at the ends of the certified range,
    zero, subnormals, infinity and NaN, in every lane of a vector and in
    the scalar tail."""
    v = np.array(values, dtype=np.float64)
    for shift in range(8):
        Y = np.roll(v, shift)[:, None]  # one column: acc = Y[j]**2, rounded
        X = np.zeros((7, 1))
        assert bits_equal(_tarsine.pairwise_distances(X, Y), pow_half(reference("pairwise_squared_euclidean", X, Y)))
