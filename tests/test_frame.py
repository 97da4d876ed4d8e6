"""Behaviour shared by every function of the typed modules (_tarsine, _plenvo,
_vellard): module namespace, function objects, argument binding, integer
conversion, array type test, buffer checks and traceback entries.

Each function is described once in FUNCS (tests/support.py); a module that
is not built yet is skipped.
"""

import copy
import ctypes
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback
import warnings

import numpy as np
import pytest

from support import FUNCS, MODULES

ROLES = {"_tarsine": "distance", "_plenvo": "pool", "_vellard": "split"}  # a word of each module's docstring

INT_FUNCS = [f for f in FUNCS if any(k == "i" for _, k in f.params)]
ARRAY_PARAMS = [(f, p) for f in FUNCS for p in f.arrays]


def raises_at(fn, exc, message, line, call):
    """Runs call(), expects exc with exactly `message`, and checks the last
    traceback entry (None for no entry of ours)."""
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    if line is None:
        assert last.filename == __file__
    else:
        assert (last.name, last.filename, last.lineno) == (
            fn.qualified, f"kelpwise/accel/{fn.module}", line)
    return info.value


# --------------------------------------------------------------------------
# Module namespace


@pytest.mark.parametrize("modname", list(ROLES))
def test_module_namespace(modname):
    mod = pytest.importorskip("kelpwise.accel." + modname)
    role, funcs = ROLES[modname], MODULES[modname]
    machinery = {"__name__", "__spec__", "__loader__", "__file__", "__package__"}
    # the order as the module left it, before any test rebinds np
    names = _child(f"import kelpwise.accel.{modname} as m; print(*vars(m))")[0].split()
    assert set(names) - machinery == {"__doc__", "__builtins__", "np", "__test__", *funcs}
    # np, the functions in source order, then __test__
    ours = [n for n in names if n in {"np", "__test__", *funcs}]
    assert ours == ["np", *funcs, "__test__"]
    assert mod.np is np
    assert mod.__test__ == {} and type(mod.__test__) is dict
    assert mod.__builtins__ is __import__("builtins")
    assert isinstance(mod.__doc__, str) and role in mod.__doc__.lower()
    assert importlib.import_module("kelpwise.accel." + modname) is mod


def _child(code):
    """Runs code in a fresh interpreter; returns its stdout, stderr."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    return out.stdout, out.stderr


@pytest.mark.parametrize("modname", list(ROLES))
def test_module_created_once_per_process(modname):
    pytest.importorskip("kelpwise.accel." + modname)
    out, _ = _child(f"""
        import importlib, sys
        mod = importlib.import_module("kelpwise.accel.{modname}")
        mod.np = "rebound"
        del sys.modules["kelpwise.accel.{modname}"]
        again = importlib.import_module("kelpwise.accel.{modname}")
        print(again is mod, again.np)
    """)
    assert out.split() == ["True", "rebound"]  # the same object, not executed again


@pytest.mark.parametrize("modname", list(ROLES))
def test_np_falls_back_to_the_module_builtins(modname):
    pytest.importorskip("kelpwise.accel." + modname)
    call = {"_tarsine": "pairwise_distances(numpy.zeros((2, 2)), numpy.zeros((2, 2)))",
            "_plenvo": "im2col(numpy.zeros((1, 2, 2, 1)), 2, 2)",
            "_vellard": "_best_split_classifier(numpy.zeros((2, 1)), numpy.arange(2), 1)"}[modname]
    out, _ = _child(f"""
        import builtins, numpy
        import kelpwise.accel.{modname} as mod
        del mod.np
        # the calling frame's builtins hold an np; the module's do not
        g = {{"__builtins__": dict(vars(builtins), np=numpy), "mod": mod, "numpy": numpy}}
        try:
            exec("mod.{call}", g)
        except NameError as e:
            print(e)
        builtins.np = numpy  # the module's own builtins
        exec("mod.{call}", g)
        print("ok")
    """)
    assert out.splitlines() == ["name 'np' is not defined", "ok"]


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
def test_function_object(fn):
    f = fn.func
    assert f.__name__ == f.__qualname__ == fn.name
    assert f.__module__ == "kelpwise.accel." + fn.module
    assert f.__doc__ == fn.doc
    params = list(inspect.signature(f).parameters.values())
    assert [p.name for p in params] == [p for p, _ in fn.params]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    defaults = tuple(p.default for p in params if p.default is not inspect.Parameter.empty)
    assert defaults == fn.defaults
    assert f.__defaults__ == (fn.defaults or None)
    assert all(p.default is inspect.Parameter.empty for p in params[: fn.nrequired])
    # pickled and copied by reference, as Python functions are
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
def test_calling_conventions_agree(fn):
    f = fn.func
    args = fn.args()
    names = [p for p, _ in fn.params]
    by_position = f(*args)
    by_keyword = f(**dict(zip(names, args, strict=True)))
    mixed = f(*args[:1], **dict(zip(names[1:], args[1:], strict=True)))
    via_call = type(f).__call__(f, *args)
    for other in (by_keyword, mixed, via_call):
        assert repr(other) == repr(by_position)


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
def test_binds_as_method(fn):
    f = fn.func
    first = fn.args()[0]
    rest = fn.args()[1:]

    class Holder(np.ndarray):
        method = f

    obj = first.view(Holder)
    assert repr(obj.method(*rest)) == repr(f(first, *rest))
    assert Holder.method is f
    sig = inspect.signature(obj.method)
    assert [p for p in sig.parameters] == [p for p, _ in fn.params][1:]


# --------------------------------------------------------------------------
# Argument binding


def _count(fn, word, number, given):
    s = "" if number == 1 else "s"
    return f"{fn.name}() takes {word} {number} positional argument{s} ({given} given)"


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
def test_binding_count_messages(fn):
    f = fn.func
    args = fn.args()
    P, R = len(fn.params), fn.nrequired
    few, many = ("exactly", "exactly") if P == R else ("at least", "at most")
    raises_at(fn, TypeError, _count(fn, few, R, R - 1), fn.line, lambda: f(*args[: R - 1]))
    raises_at(fn, TypeError, _count(fn, many, P, P + 1), fn.line, lambda: f(*args, 0))
    # too many positionals is reported before any keyword is looked at
    raises_at(fn, TypeError, _count(fn, many, P, P + 1), fn.line, lambda: f(*args, 0, bogus=1))
    # with keywords, the first missing required parameter gives the number
    names = [p for p, _ in fn.params]
    raises_at(fn, TypeError, _count(fn, few, R, 0), fn.line, lambda: f(**{names[R - 1]: args[R - 1]}))
    raises_at(fn, TypeError, _count(fn, few, R, 1), fn.line, lambda: f(**{names[0]: args[0]}))


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
def test_binding_keyword_messages(fn):
    f = fn.func
    args = fn.args()
    first = fn.params[0][0]
    raises_at(fn, TypeError, f"{fn.name}() got an unexpected keyword argument 'Z'", fn.line,
              lambda: f(*args, Z=1))
    raises_at(fn, TypeError, f"{fn.name}() got multiple values for keyword argument '{first}'",
              fn.line, lambda: f(*args[:1], **{first: args[0]}))


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
def test_non_string_keyword_from_c(fn):
    """Python syntax cannot pass a non-string keyword name; C callers can."""
    f = fn.func
    args = fn.args()
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    values = (ctypes.py_object * (len(args) + 1))(*args, 7)
    with pytest.raises(TypeError) as info:
        vectorcall(f, values, len(args), (1,))
    assert str(info.value) == f"{fn.name}() keywords must be strings"


# --------------------------------------------------------------------------
# Integer conversion


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class MyInt(int):
    pass


@pytest.mark.parametrize("fn", INT_FUNCS, ids=repr)
@pytest.mark.parametrize(
    "bad, exc, message",
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**70, OverflowError, "value too large to convert to int"),
        (float(2**40), OverflowError, "value too large to convert to int"),
    ],
)
def test_int_conversion_errors(fn, bad, exc, message):
    f = fn.func
    v = fn.valid()
    # every array argument is wrong too: conversion comes first
    for name in fn.arrays:
        v[name] = [1]
    for name, kind in fn.params:
        if kind == "i":
            v2 = dict(v)
            v2[name] = bad
            raises_at(fn, exc, message, fn.conv_line, lambda v2=v2: f(**v2))


@pytest.mark.parametrize("fn", INT_FUNCS, ids=repr)
def test_int_conversion_accepts(fn):
    f = fn.func
    v = fn.valid()
    ints = [n for n, k in fn.params if k == "i"]
    expected = repr(f(**v))
    for conv in (float, MyInt, IntLike, lambda x: x + 0.9, np.int32):
        v2 = dict(v, **{n: conv(v[n]) for n in ints})
        assert repr(f(**v2)) == expected
    # an __int__ that returns a strict int subclass works, with a warning
    v2 = dict(v, **{n: IntLike(MyInt(v[n])) for n in ints})
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type MyInt\)\.  The ability"):
        assert repr(f(**v2)) == expected
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            f(**v2)


# --------------------------------------------------------------------------
# Array type test and buffer checks


@pytest.mark.parametrize("fn,param", ARRAY_PARAMS, ids=lambda x: x if isinstance(x, str) else repr(x))
@pytest.mark.parametrize("bad", [[1.0], (1.0,), 3.0, "x"])
def test_type_test_without_traceback_entry(fn, param, bad):
    f = fn.func
    v = dict(fn.valid(), **{param: bad})
    msg = f"Argument '{param}' has incorrect type (expected numpy.ndarray, got {type(bad).__name__})"
    raises_at(fn, TypeError, msg, None, lambda: f(**v))


@pytest.mark.parametrize("fn", [f for f in FUNCS if len(f.arrays) == 2], ids=repr)
def test_type_tests_run_before_any_view(fn):
    f = fn.func
    first, second = fn.arrays
    v = dict(fn.valid(), **{first: [1], second: np.zeros(3, np.float32)})
    raises_at(fn, TypeError, f"Argument '{first}' has incorrect type (expected numpy.ndarray, got list)",
              None, lambda: f(**v))
    # None passes the type test, so the second argument's type error wins
    v = dict(fn.valid(), **{first: None, second: [1]})
    raises_at(fn, TypeError, f"Argument '{second}' has incorrect type (expected numpy.ndarray, got list)",
              None, lambda: f(**v))


@pytest.mark.parametrize("fn,param", ARRAY_PARAMS, ids=lambda x: x if isinstance(x, str) else repr(x))
def test_none_is_refused(fn, param):
    f = fn.func
    v = dict(fn.valid(), **{param: None})
    raises_at(fn, TypeError, f"Argument '{param}' must not be None", fn.line, lambda: f(**v))


def _buffer_cases(ndim, tname):
    shape = (2,) * ndim
    good = np.float64 if tname == "DTYPE_t" else np.int64
    mismatch = f"Buffer dtype mismatch, expected '{tname}' but got "
    cases = [
        (np.zeros(shape, np.float32), mismatch + "'float'"),
        (np.zeros(shape, np.complex128), mismatch + "'complex double'"),
        (np.zeros(shape, np.complex64), mismatch + "'complex float'"),
        (np.zeros(shape, bool), mismatch + "'bool'"),
        (np.zeros(shape, object), mismatch + "Python object"),
        (np.zeros(shape, np.int32), mismatch + "'int'"),
        (np.zeros(shape, np.uint64), mismatch + "'unsigned long'"),
        (np.zeros(shape, np.int8), mismatch + "'signed char'"),
        (np.zeros(shape, np.uint16), mismatch + "'unsigned short'"),
        (np.zeros(shape, np.longdouble), mismatch + "'long double'"),
        (np.zeros(shape, [("a", good)]), mismatch + "a struct"),
        (np.zeros(shape, np.float16), "Does not understand character buffer dtype format string ('e')"),
        (np.zeros(shape, good).astype(np.dtype(good).newbyteorder(">")),
         "Big-endian buffer not supported on little-endian compiler"),
        (np.zeros((2,) * (ndim + 1), good),
         f"Buffer has wrong number of dimensions (expected {ndim}, got {ndim + 1})"),
    ]
    if ndim > 1:
        cases.append((np.zeros(2, good),
                      f"Buffer has wrong number of dimensions (expected {ndim}, got 1)"))
    if tname == "DTYPE_t":
        cases.append((np.zeros(shape, np.int64), mismatch + "'long'"))
    else:
        cases.append((np.zeros(shape, np.float64), mismatch + "'double'"))
    return cases


@pytest.mark.parametrize("fn,param", ARRAY_PARAMS, ids=lambda x: x if isinstance(x, str) else repr(x))
def test_buffer_checks(fn, param):
    f = fn.func
    ndim, tname = fn.arrays[param]
    for bad, message in _buffer_cases(ndim, tname):
        v = dict(fn.valid(), **{param: bad})
        raises_at(fn, ValueError, message, fn.line, lambda v=v: f(**v))


@pytest.mark.parametrize("fn,param", ARRAY_PARAMS, ids=lambda x: x if isinstance(x, str) else repr(x))
def test_accepted_element_formats(fn, param):
    """Little-endian and unaligned exports of the declared type are accepted and
    read correctly; for INT_t/ITYPE_t both 'l' and 'q' formats pass."""
    f = fn.func
    v = fn.valid()
    expected = repr(f(**v))
    arr = v[param]
    variants = [arr.astype(arr.dtype.newbyteorder("<"))]
    raw = np.zeros(arr.nbytes + 1, np.uint8)[1:].view(arr.dtype).reshape(arr.shape)
    raw[...] = arr
    variants.append(raw)
    if arr.dtype.kind == "i":
        variants.append(arr.astype(np.longlong))
    for other in variants:
        assert repr(f(**dict(v, **{param: other}))) == expected


# --------------------------------------------------------------------------
# Module execution failures


@pytest.mark.parametrize("modname", list(ROLES))
def test_numpy_import_failure(modname):
    pytest.importorskip("kelpwise.accel." + modname)
    code = textwrap.dedent(f"""
        import sys, traceback
        sys.modules["numpy._core._multiarray_umath"] = None
        sys.modules["numpy.core._multiarray_umath"] = None
        try:
            import kelpwise.accel.{modname}
        except ImportError as e:
            last = traceback.extract_tb(e.__traceback__)[-1]
            print(str(e).startswith("numpy.core.multiarray failed to import"))
            print(last.name, last.filename, last.lineno)
            print("kelpwise.accel.{modname}" in sys.modules, hasattr(sys, "last_value"))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split("\n")[:3] == [
        "True", f"init kelpwise.accel.{modname} kelpwise/accel/{modname} 1", "False False"]
    assert out.stderr == ""  # nothing printed
