"""The module and class as Python sees them: properties, argument binding and conversion."""

import subprocess
import sys
import textwrap

import pytest

import _brindlex
from _brindlex import PrefixSearch
from hostile import Floaty, Index

SIGNATURES = {
    "from_internal_data_v2": "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
    "to_bytes": "($self)",
    "from_bytes": "(b)",
    "fuzzy_match": "(term, max_dist=1, limit=None)",
    "fuzzy_match_video": "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
}


def test_module_attributes():
    assert _brindlex.__all__ == ["PrefixSearch"]
    assert _brindlex.__doc__ == ""
    assert not hasattr(_brindlex, "InternalFailure")


def test_class_properties():
    assert PrefixSearch.__name__ == PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__bases__ == (object,)
    assert PrefixSearch.__doc__ is None
    public = {name for name in vars(PrefixSearch) if not name.startswith("__")}
    assert public == set(SIGNATURES)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    method = getattr(PrefixSearch, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_no_constructor_and_no_subclass():
    with pytest.raises(TypeError, match="^No constructor defined for PrefixSearch$"):
        PrefixSearch()
    with pytest.raises(TypeError):
        type("Sub", (PrefixSearch,), {})


def test_instances_have_no_dict(store):
    with pytest.raises(AttributeError):
        store.extra = 1


def test_reimport_gives_the_same_module():
    import importlib

    again = importlib.import_module("_brindlex")
    assert again is _brindlex and again.PrefixSearch is PrefixSearch


F = "PrefixSearch.fuzzy_match()"
V = "PrefixSearch.fuzzy_match_video()"
C = "PrefixSearch.from_internal_data_v2()"
B = "PrefixSearch.from_bytes()"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.fuzzy_match(), f"{F} missing 1 required positional argument: 'term'"),
        (lambda s: s.fuzzy_match("a", 1, None, 4), f"{F} takes from 1 to 3 positional arguments but 4 were given"),
        (lambda s: s.fuzzy_match("a", term="b"), f"{F} got multiple values for argument 'term'"),
        (lambda s: s.fuzzy_match("a", bound=1), f"{F} got an unexpected keyword argument 'bound'"),
        (lambda s: s.fuzzy_match_video(max_dist=2), f"{V} missing 1 required positional argument: 'term'"),
        (lambda s: s.fuzzy_match_video(*"abcdef"), f"{V} takes from 1 to 5 positional arguments but 6 were given"),
        (lambda s: PrefixSearch.from_bytes(), f"{B} missing 1 required positional argument: 'b'"),
        (lambda s: PrefixSearch.from_bytes(b"", b""), f"{B} takes 1 positional arguments but 2 were given"),
        (
            lambda s: PrefixSearch.from_internal_data_v2([], [], []),
            f"{C} missing 3 required positional arguments: 'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (
            lambda s: PrefixSearch.from_internal_data_v2([], [], [], [], video_index=[]),
            f"{C} missing 1 required positional argument: 'video_top_n'",
        ),
        (
            lambda s: PrefixSearch.from_internal_data_v2([], [], [], [], []),
            f"{C} missing 1 required positional argument: 'video_top_n'",
        ),
        (
            lambda s: PrefixSearch.from_internal_data_v2([], [], [], child_transitions=[], video_top_n=1),
            f"{C} missing 1 required positional argument: 'video_index'",
        ),
        (lambda s: PrefixSearch.from_internal_data_v2(*[[]] * 7), f"{C} takes 6 positional arguments but 7 were given"),
    ],
)
def test_binding_errors(store, call, message):
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value) == message


def test_two_missing_names_are_joined_with_and():
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'payloads' and 'child_transitions'$"):
        PrefixSearch.from_internal_data_v2([], [], video_index=[], video_top_n=0)


def test_one_positional_was_given():
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given|takes no arguments"):
        PrefixSearch.from_bytes(b"\0" * 8).to_bytes(1)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"term": 5}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        ({"term": b"cat"}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
        ({"term": "a", "max_dist": None}, TypeError, "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
        ({"term": "a", "max_dist": 1.0}, TypeError, "argument 'max_dist': 'float' object cannot be interpreted as an integer"),
        ({"term": "a", "max_dist": -1}, OverflowError, None),
        ({"term": "a", "max_dist": 2**32}, OverflowError, "out of range integral type conversion attempted"),
        ({"term": "a", "max_dist": 2**64}, OverflowError, None),
        ({"term": "a", "limit": -1}, OverflowError, None),
        ({"term": "a", "limit": 2**64}, OverflowError, None),
        ({"term": "a", "limit": "3"}, TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
        ({"term": "\udc80"}, UnicodeEncodeError, None),
    ],
)
@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
def test_query_argument_conversion(store, method, kwargs, exc, message):
    with pytest.raises(exc) as info:
        getattr(store, method)(**kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc is OverflowError and message is None:
        assert "out of range integral" not in str(info.value)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"include_prefix_nodes": 1}, TypeError, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        ({"include_prefix_nodes": "yes"}, TypeError, "argument 'include_prefix_nodes': 'str' object cannot be converted to 'PyBool'"),
        ({"min_score": "0.5"}, TypeError, "argument 'min_score': must be real number, not str"),
    ],
)
def test_video_argument_conversion(store, kwargs, exc, message):
    with pytest.raises(exc) as info:
        store.fuzzy_match_video("cat", **kwargs)
    assert str(info.value) == message


def test_conversion_errors_come_in_parameter_order(store):
    with pytest.raises(TypeError, match="^argument 'term'"):
        store.fuzzy_match_video(1, max_dist=None, min_score="x")
    with pytest.raises(TypeError, match="^argument 'max_dist'"):
        store.fuzzy_match_video("cat", max_dist=None, min_score="x")
    with pytest.raises(TypeError, match="^argument 'include_prefix_nodes'"):
        store.fuzzy_match_video("cat", include_prefix_nodes=0, min_score="x")


def test_index_and_float_protocols_are_accepted(store):
    assert store.fuzzy_match("cat", Index(0), Index(5)) == [("cat", 1, 0)]
    assert store.fuzzy_match("cat", True) == store.fuzzy_match("cat", 1)
    assert store.fuzzy_match_video("cat", min_score=1) == []
    assert store.fuzzy_match_video("cat", min_score=Floaty(0.5)) == store.fuzzy_match_video("cat", min_score=0.5)


def test_keywords_and_positions_agree(store):
    assert store.fuzzy_match("cat", 1) == store.fuzzy_match(term="cat", max_dist=1) == store.fuzzy_match("cat")
    assert store.fuzzy_match("cat", limit=None) == store.fuzzy_match("cat")
    a = store.fuzzy_match_video("cat", 1, None, True, 0.0)
    b = store.fuzzy_match_video(min_score=0.0, include_prefix_nodes=True, term="cat")
    assert sorted(a) == sorted(b)


def test_numpy_booleans_are_accepted(store):
    np = pytest.importorskip("numpy")
    assert sorted(store.fuzzy_match_video("cat", include_prefix_nodes=np.True_)) == sorted(
        store.fuzzy_match_video("cat", include_prefix_nodes=True)
    )
    with pytest.raises(TypeError, match="'int64' object cannot be converted to 'PyBool'"):
        store.fuzzy_match_video("cat", include_prefix_nodes=np.int64(1))


def test_argument_error_keeps_the_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2([Bad()], [], [], [], [], 0)
    assert str(info.value) == "argument 'node_shifts': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_exception_classes_pass_unchanged():
    class Boom(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise Boom("not rewrapped")

    with pytest.raises(Boom, match="^not rewrapped$"):
        PrefixSearch.from_internal_data_v2([Bad()], [], [], [], [], 0)


def test_from_bytes_requires_bytes():
    class MyBytes(bytes):
        pass

    assert PrefixSearch.from_bytes(MyBytes(bytes(8))).to_bytes() == bytes(8)
    for bad in (bytearray(8), memoryview(bytes(8)), "\0" * 8):
        with pytest.raises(TypeError, match=f"^argument 'b': '{type(bad).__name__}' object cannot be converted to 'PyBytes'$"):
            PrefixSearch.from_bytes(bad)


def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_subinterpreters_are_refused(kind):
    result = run_child(
        f"""
        import _brindlex, _interpreters
        interp = _interpreters.create({kind!r})
        err = _interpreters.exec(interp, "import _brindlex")
        print(err.type.__name__ if err else "imported", err.msg if err else "")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError"), result.stdout
    assert "subinterpreter" in result.stdout


def test_internal_failure_is_a_base_exception():
    # node 1's child range runs past child_transitions: met only by the aggregation pass.
    with pytest.raises(BaseException) as info:
        PrefixSearch.from_internal_data_v2([0, 5], ["", "a"], [None, None], [1], [], 1)
    failure = type(info.value)
    assert failure.__name__ == "InternalFailure"
    assert failure.__bases__ == (BaseException,)
    assert not issubclass(failure, Exception)
    with pytest.raises(failure) as again:
        PrefixSearch.from_internal_data_v2([0, 0, 3], ["", "a", "b"], [None] * 3, [1], [], 1)
    assert "child_transitions" in str(again.value)


def test_layout_token_is_private_and_checked_field_by_field():
    from brindlex import _native

    assert type(_brindlex._layout).__name__ == "PyCapsule"
    sizes = _native._layout_sizes()
    assert sizes[0] >= 1 and all(s > 0 for s in sizes)
    assert _native._check_layout(sizes) is None
    for i in range(len(sizes)):
        other = sizes[:i] + (sizes[i] + 4,) + sizes[i + 1:]
        with pytest.raises(ImportError) as info:
            _native._check_layout(other)
        message = str(info.value)
        # Both layouts are named, the module's own first.
        mine, _, theirs = message.partition(", and _brindlex has ")
        assert theirs, message
        assert [int(w.strip(",")) for w in mine.split() if w.strip(",").isdigit()] == list(sizes)
        assert [int(w.strip(",")) for w in theirs.split() if w.strip(",").isdigit()] == list(other)


def test_one_internal_failure_class_for_both_modules():
    # The package module raises the engine's class: a failure of either is caught as one.
    script = textwrap.dedent(
        """
        import _brindlex
        from brindlex import _native
        try:
            _brindlex.PrefixSearch.from_internal_data_v2([0, 5], ["", "a"], [None, None], [1], [], 1)
        except BaseException as e:
            engine = type(e)
        print(engine.__module__, engine.__name__, _native._internal_failure() is engine)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["_brindlex", "InternalFailure", "True"]
