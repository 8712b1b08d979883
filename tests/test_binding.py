"""The module surface: attributes, binding messages, conversions, borrows, error mapping."""
import array
import copy
import importlib.util
import pathlib
import pickle
import shutil
import subprocess

import numpy as np
import pytest

import arbolet
from arbolet import Forest, MStream


def test_module_attributes():
    assert arbolet.__all__ == ["MStream", "Forest", "__version__", "Thresholder", "Monitor"]
    assert arbolet.__version__ == "0.3.0"
    assert arbolet.__doc__ == ""
    native = arbolet.arbolet
    assert native.__all__ == ["MStream", "Forest", "__version__", "Thresholder", "Monitor"]
    for cls in (Forest, MStream):
        assert cls.__module__ == "arbolet.arbolet"
        assert cls.__qualname__ == cls.__name__
    assert Forest.update.__text_signature__ == "($self, point)"
    assert Forest.near_neighbors.__text_signature__ == "($self, point, top_k=10, percentile=50)"
    assert Forest.from_json.__text_signature__ == "(json)"
    assert MStream.update_and_score.__text_signature__ == "($self, numeric, categorical, timestamp)"
    assert Forest.__text_signature__.startswith("(input_dim, shingle_size=1, num_trees=50")
    assert Forest.__doc__.startswith("A Random Cut Forest anomaly detector.\n\nParameters\n")
    assert MStream.__doc__.endswith("seed : int, optional\n    Random seed for deterministic hashing.")
    assert Forest.update.__doc__ == "Update the forest with a new observation."
    assert Forest.__copy__.__doc__ in ("", None)


def test_stubs_are_the_ones_the_declarations_give():
    # The classes in arbolet.pyi are written from the binding's declarations;
    # after changing one, run scripts/generate_stubs.py.
    root = pathlib.Path(__file__).resolve().parent.parent
    spec = importlib.util.spec_from_file_location("generate_stubs", root / "scripts" / "generate_stubs.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    stubs = (root / "python" / "arbolet" / "arbolet.pyi").read_text()
    assert generator.stub_text(arbolet.arbolet._declarations, stubs) == stubs


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run([nm, "-D", "--defined-only", arbolet.arbolet.__file__], capture_output=True, text=True,
                         check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit_arbolet"]
    assert arbolet.arbolet.__file__.endswith(".abi3.so")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.update(), "Forest.update() missing 1 required positional argument: 'point'"),
        (lambda f: f.update([1.0], [2.0]), "Forest.update() takes 1 positional arguments but 2 were given"),
        (lambda f: f.update([1.0], point=[1.0]), "Forest.update() got multiple values for argument 'point'"),
        (lambda f: f.update(pt=[1.0]), "Forest.update() got an unexpected keyword argument 'pt'"),
        (lambda f: f.near_neighbors([1.0], 1, 2, 3),
         "Forest.near_neighbors() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda f: f.impute(), "Forest.impute() missing 2 required positional arguments: 'point' and 'missing'"),
        (lambda f: f.is_ready(1), "Forest.is_ready() takes 0 positional arguments but 1 was given"),
        (lambda f: Forest(), "Forest.__new__() missing 1 required positional argument: 'input_dim'"),
        (lambda f: Forest(1, 1, 1, 1, 0.0, 0, True, None, 1, 4, 9),
         "Forest.__new__() takes from 1 to 10 positional arguments but 11 were given"),
        (lambda f: Forest(1, input_dim=2), "Forest.__new__() got multiple values for argument 'input_dim'"),
        (lambda f: MStream(1, 1, rows=2), "MStream.__new__() got an unexpected keyword argument 'rows'"),
        (lambda f: MStream(1, 1, seed=1).score(),
         "MStream.score() missing 3 required positional arguments: 'numeric', 'categorical', and 'timestamp'"),
    ],
)
def test_binding_messages(call, message):
    forest = Forest(1, seed=1)
    with pytest.raises(TypeError) as info:
        call(forest)
    assert str(info.value) == message


def test_keywords_and_defaults_bind_like_python():
    f = Forest(input_dim=2, capacity=8, num_trees=2, seed=3)
    assert repr(f) == "Forest(input_dim=2, shingle_size=1, num_trees=2, capacity=8, entries_seen=0)"
    f.update(point=[1.0, 2.0])
    assert f.near_neighbors(point=[1.0, 2.0], percentile=10)[0]["point"] == [1.0, 2.0]
    assert Forest.from_json(json=f.to_json()).entries_seen() == 1


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


class Sized:
    """A sequence whose len() fails: iteration alone decides the length."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.values[i]

    def __iter__(self):
        return iter(self.values)


def test_count_conversion():
    assert repr(Forest(True, seed=1)).startswith("Forest(input_dim=1,")
    assert repr(Forest(Indexable(3), seed=1)).startswith("Forest(input_dim=3,")
    with pytest.raises(OverflowError) as info:
        Forest(-1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        Forest(1, seed=2**64)
    with pytest.raises(TypeError, match=r"^argument 'input_dim': 'float' object cannot be interpreted as an integer"):
        Forest(2.0)
    with pytest.raises(TypeError, match=r"^argument 'top_k': "):
        Forest(1, seed=1).near_neighbors([1.0], top_k="3")
    assert Forest(1, seed=2**64 - 1).entries_seen() == 0


def test_real_and_flag_conversion():
    for decay in (0.5, 1, Floaty(), Indexable(2)):
        Forest(1, time_decay=decay, seed=1)
    with pytest.raises(TypeError, match=r"^argument 'time_decay': "):
        Forest(1, time_decay="0.1")
    with pytest.raises(TypeError, match=r"^argument 'alpha': "):
        MStream(1, 0, alpha=None)
    Forest(1, internal_shingling=np.bool_(False), seed=1)
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^argument 'internal_shingling': "):
            Forest(1, internal_shingling=bad)


def test_vector_of_reals_conversion():
    f = Forest(4, num_trees=2, capacity=4, seed=5)
    with pytest.raises(TypeError) as info:
        f.update("abcd")
    assert str(info.value) == "argument 'point': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        f.update(5)
    assert str(info.value) == "argument 'point': 'int' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        f.update(None)
    assert str(info.value) == "argument 'point': 'None' is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        f.update(x for x in range(4))
    assert str(info.value) == "argument 'point': 'generator' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError, match=r"^argument 'point': must be real number, not str"):
        f.update([1.0, 2.0, "x", 4.0])
    with pytest.raises(OverflowError):
        f.update([1.0, 2.0, 10**400, 4.0])
    with pytest.raises(ValueError) as info:
        f.update([1.0, 2.0, 3.0])
    assert str(info.value) == "dimension mismatch: expected 4, got 3"
    # Everything that iterates to four numbers is one point.
    for point in ([1, 2, 3, 4], (1.0, 2.0, 3.0, 4.0), Sized([1.0, 2.0, 3.0, 4.0]), range(1, 5),
                  array.array("d", [1, 2, 3, 4]), memoryview(array.array("f", [1, 2, 3, 4])),
                  np.arange(1, 5, dtype=np.int32), np.arange(1, 5, dtype=np.float16)):
        f.update(point)
    assert f.entries_seen() == 8


def test_numpy_buffers_give_the_values_of_iteration():
    f = Forest(3, num_trees=1, capacity=4, seed=5)
    f.update([0.0, 0.0, 0.0])
    values = np.array([0.1, 1e39, -2.5e-45, 7.0, np.pi, 1 / 3], dtype=np.float64)
    with np.errstate(over="ignore"):
        float32_view = values.astype(np.float32)[1::2]
    for arr in (values[:3], values[3:], values[::2], float32_view,
                np.asfortranarray(values[:3]), values[:3].astype(">f8")):
        expected = f.impute([float(x) for x in arr], [0])
        got = f.impute(arr, [0])
        assert np.array_equal(np.array(got), np.array(expected), equal_nan=True)
        with np.errstate(over="ignore"):
            assert got[1:] == [float(np.float32(x)) for x in arr[1:]]


class Table:
    """Shaped like a data frame: two dimensions, and iteration that yields
    column labels, which would convert silently."""
    ndim, shape = 2, (5, 2)

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return [0, 1][i]


def test_tables_are_refused_where_one_point_is_expected():
    shingled = Forest(3, shingle_size=4, num_trees=1, capacity=4, seed=5)
    one = "^argument 'point': one point is a 1-D sequence of "
    with pytest.raises(TypeError, match=one + r"3 numbers, but a 2-D ndarray of shape \(2, 3\) was given$"):
        shingled.update(np.zeros((2, 3)))
    with pytest.raises(TypeError, match=one + r"3 or 12 numbers, but a 2-D Table of shape \(5, 2\) was given$"):
        shingled.score(Table())
    with pytest.raises(TypeError, match=one + r"3 or 12 numbers, but a 3-D memoryview of shape \(1, 3, 4\)"):
        shingled.impute(memoryview(np.zeros((1, 3, 4))), [0])
    with pytest.raises(TypeError, match=one + "3 or 12 numbers, but item 0 of the list is a list$"):
        shingled.attribution([[1.0, 2.0, 3.0]])
    with pytest.raises(TypeError, match="^argument 'numeric': one point is a 1-D sequence of 2 numbers, but a 2-D"):
        MStream(2, 0, seed=1).update(np.ones((1, 2)), [], 1)
    with pytest.raises(TypeError, match="^argument 'categorical': one point is a 1-D sequence of 1 number, but a 2-D"):
        MStream(0, 1, seed=1).update([], np.ones((1, 1), dtype=np.int64), 1)
    assert shingled.entries_seen() == 0

    class Interrupting(Table):
        @property
        def ndim(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        shingled.score(Interrupting())
    external = Forest(2, shingle_size=2, internal_shingling=False, num_trees=1, capacity=4, seed=5)
    with pytest.raises(TypeError, match=r"sequence of 4 numbers, but a 2-D ndarray of shape \(1, 4\)"):
        external.score_and_update(np.zeros((1, 4)))


def test_configuration_properties():
    f = Forest(3, shingle_size=4, capacity=100, seed=5)
    assert (f.input_dim, f.shingle_size, f.capacity, f.internal_shingling, f.dimensions) == (3, 4, 100, True, 12)
    # the values in effect, not the automatic marker 0
    assert (f.time_decay, f.output_after) == (0.1 / 100, 26)
    g = Forest(1, time_decay=0.5, output_after=7, internal_shingling=False, seed=5)
    assert (g.time_decay, g.output_after, g.internal_shingling) == (0.5, 7, False)
    m = MStream(2, 1, num_rows=3, num_buckets=64, alpha=0.5, seed=1)
    assert (m.numeric_dim, m.categorical_dim, m.num_rows, m.num_buckets, m.alpha) == (2, 1, 3, 64, 0.5)
    with pytest.raises(AttributeError):
        f.capacity = 5
    assert "is_ready()" in Forest.output_after.__doc__
    assert Forest.score.__doc__ == ("Anomaly score for `point`.  Answers once the trees hold a point; `is_ready()` "
                                    "tells when scores are meaningful.")


def test_index_and_code_vectors():
    f = Forest(2, num_trees=1, capacity=4, seed=5)
    f.update([1.0, 2.0])
    assert f.impute([0.0, 2.0], [0]) == [1.0, 2.0]
    assert f.impute([0.0, 0.0], [Indexable(0), True]) == [1.0, 2.0]
    with pytest.raises(TypeError, match=r"^argument 'missing': 'float' object cannot be interpreted"):
        f.impute([0.0, 2.0], [0.5])
    with pytest.raises(OverflowError):
        f.impute([0.0, 2.0], [-1])
    with pytest.raises(TypeError, match=r"^argument 'missing': Can't extract `str` to `Vec`"):
        f.impute([0.0, 2.0], "0")
    m = MStream(0, 2, seed=1)
    m.update([], [-5, 2**63 - 1], 1)
    with pytest.raises(OverflowError):
        m.update([], [2**63, 0], 2)
    with pytest.raises(TypeError, match=r"^argument 'categorical': "):
        m.update([], [1.0, 2], 2)
    with pytest.raises(TypeError, match=r"^argument 'timestamp': "):
        m.update([], [1, 2], 2.0)


def test_json_text_and_path_conversion(tmp_path):
    f = Forest(1, num_trees=1, capacity=2, seed=9)
    text = f.to_json()
    for form in (text, text.encode(), bytearray(text.encode()), list(text.encode())):
        assert Forest.from_json(form).to_json() == text
    with pytest.raises(TypeError) as info:
        Forest.from_json(5)
    assert str(info.value) == (
        "argument 'json': failed to extract enum StrOrBytes ('Str | Bytes')\n"
        "- variant Str (Str): TypeError: 'int' object is not an instance of 'str'\n"
        "- variant Bytes (Bytes): TypeError: 'int' object is not an instance of 'Sequence'")
    with pytest.raises(TypeError, match=r"^argument 'state': failed to extract enum StrOrBytes"):
        f.__setstate__(None)
    for path in (str(tmp_path / "a.json"), str(tmp_path / "b.json").encode(), tmp_path / "c.json"):
        f.save_json(path)
        assert Forest.load_json(path).to_json() == text
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        f.save_json(3)


class CallsBack:
    """A sequence whose iteration calls back into the detector being called."""

    def __init__(self, action):
        self.action = action

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        self.action()
        return iter([1.0])


def test_borrow_conflicts_are_refused_and_released():
    f = Forest(1, num_trees=2, capacity=4, seed=1)
    with pytest.raises(RuntimeError) as info:
        f.update(CallsBack(lambda: f.update([2.0])))
    assert str(info.value) == "Already borrowed"
    with pytest.raises(RuntimeError) as info:
        f.update(CallsBack(lambda: f.score([2.0])))
    assert str(info.value) == "Already mutably borrowed"
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        f.update(CallsBack(lambda: repr(f)))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        f.score(CallsBack(lambda: f.__setstate__(f.to_json())))
    # Shared borrows nest; every borrow is released afterwards.
    assert f.score(CallsBack(lambda: f.score([1.0]))) == 0.0
    f.update([3.0])
    assert f.entries_seen() == 1
    m = MStream(1, 0, seed=1)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m.update_and_score(CallsBack(lambda: m.update([1.0], [], 1)), [], 1)
    assert m.update_and_score([1.0], [], 1) == 0.0


def test_error_kinds_map_to_exceptions():
    f = Forest(2, num_trees=2, capacity=4, seed=1)
    with pytest.raises(ValueError, match="^input_dim must be > 0$"):
        Forest(0, shingle_size=0)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$") as info:
        f.score([1, 2, 3])
    assert type(info.value) is arbolet.DimensionError  # each family subclasses the built-in raised before
    with pytest.raises(RuntimeError) as info:
        f.impute([1.0, 2.0], [0])
    assert str(info.value) == "NotReady" and type(info.value) is arbolet.NotReadyError
    with pytest.raises(RuntimeError) as info:
        f.impute([1.0, 2.0], [7])
    assert str(info.value) == "IndexOutOfBounds(7)" and type(info.value) is arbolet.IndexOutOfRangeError
    with pytest.raises(RuntimeError) as info:
        Forest.from_json("{")
    assert str(info.value) == 'Io("EOF while parsing an object at line 1 column 1")'
    assert type(info.value) is arbolet.StateError
    with pytest.raises(RuntimeError) as info:
        Forest.load_json("/nonexistent/dir/file.json")
    assert str(info.value) == 'Io("No such file or directory (os error 2)")'
    assert type(info.value) is arbolet.StateError


def test_io_messages_use_the_escaped_debug_form():
    # The reader quotes the string it found with escapes; the Io form then
    # quotes the whole message once more.
    with pytest.raises(RuntimeError) as info:
        Forest.from_json('{"config": "a\\"b\\u0001\\u00e9\\t"}')
    assert str(info.value) == (
        'Io("invalid type: string \\"a\\\\\\"b\\\\u{1}é\\\\t\\", expected struct RcfConfig at line 1 column 31")')


def test_states_that_would_panic_are_refused_at_load():
    m = MStream(2, 0, seed=1)
    with pytest.raises(RuntimeError, match="inconsistent state: record sketch sizes differ"):
        MStream.from_json(m.to_json().replace('"num_rows":2,', '"num_rows":5,', 1))


def test_panic_exception_is_a_base_exception():
    panic = arbolet.PanicException
    assert panic is arbolet.arbolet.PanicException
    assert "PanicException" not in arbolet.__all__
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__doc__


def test_copies_and_pickles_are_independent():
    f = Forest(1, num_trees=3, capacity=8, seed=4)
    for x in range(20):
        f.update([float(x)])
    for clone in (copy.copy(f), copy.deepcopy(f), *(pickle.loads(pickle.dumps(f, p))
                                                     for p in range(pickle.HIGHEST_PROTOCOL + 1))):
        assert type(clone) is Forest and clone.to_json() == f.to_json()
        clone.update([100.0])
        assert clone.entries_seen() == 21 and f.entries_seen() == 20
    assert f.__getnewargs__() == (1,)
    assert MStream(3, 2, seed=1).__getnewargs__() == (3, 2)


def test_subclasses_keep_working():
    class Mine(Forest):
        pass

    f = Mine(1, num_trees=1, capacity=2, seed=1)
    f.update([1.0])
    assert type(copy.copy(f)) is Mine
    assert isinstance(Mine.from_json(f.to_json()), Forest)
