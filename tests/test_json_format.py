"""Text of the state documents: float notation, the reader's leniency and
every reader message with its line and column."""

import json
import math
import struct

import pytest

import arbolet

Forest = arbolet.Forest
MStream = arbolet.MStream


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def reader_error(cls, doc):
    """The reader's message (with position) from the Io error of from_json."""
    with pytest.raises(RuntimeError) as info:
        cls.from_json(doc)
    text = str(info.value)
    assert text.startswith('Io("') and text.endswith('")'), text
    return json.loads(text[3:-1])


def empty_forest_doc():
    return Forest(1, num_trees=1, capacity=1, seed=1).to_json()


def leaf_forest_doc():
    forest = Forest(1, num_trees=1, capacity=2, seed=1)
    forest.update([1.0])
    forest.update([2.0])
    return forest.to_json()


def mstream_doc():
    return MStream(1, 1, num_rows=1, num_buckets=2, seed=1).to_json()


def replace_once(doc, old, new):
    assert doc.count(old) >= 1, old
    return doc.replace(old, new, 1)


# ---- float text ---------------------------------------------------------------

@pytest.mark.parametrize(
    "value, text",
    [
        (1e16, "1e+16"),
        (1e15, "1000000000000000.0"),
        (1e-6, "1e-6"),
        (0.00001, "0.00001"),
        (2.5e-300, "2.5e-300"),
        (-0.0, "-0.0"),
        (0.0, "0.0"),
        (0.1, "0.1"),
        (1.0, "1.0"),
        (12.34, "12.34"),
        (1200.0, "1200.0"),
        (-1.5e13, "-15000000000000.0"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (5e-324, "5e-324"),
    ],
)
def test_double_text(value, text):
    doc = replace_once(empty_forest_doc(), '"pending_weight":0.0', f'"pending_weight":{value!r}')
    assert f'"pending_weight":{text},' in Forest.from_json(doc).to_json()


@pytest.mark.parametrize(
    "value, text",
    [
        (0.1, "0.1"),
        (16777216.0, "16777216.0"),
        (1e-6, "0.000001"),
        (1e-7, "1e-7"),
        (3.4028234663852886e38, "3.4028235e+38"),
        (1.5e13, "1.5e+13"),
        (1e12, "1000000000000.0"),
        (123456.789, "123456.79"),
        (-0.0, "-0.0"),
        (-2.5, "-2.5"),
        (1.401298464324817e-45, "1e-45"),
    ],
)
def test_single_text(value, text):
    forest = Forest(1, num_trees=1, capacity=1, seed=1)
    forest.update([value])
    assert f'"shingle_buf":[{text}]' in forest.to_json()


def test_single_values_read_back_exactly():
    # Shortest single-precision digits read as a double and then rounded to
    # single precision must give the same value back, across magnitudes.
    values = [f32(x * 10.0 ** e) for e in range(-44, 39) for x in (1.0, 1.1754944, 3.3333333, 9.999999)]
    values = [v for v in values if math.isfinite(v) and v != 0.0]
    forest = Forest(len(values), num_trees=1, capacity=1, seed=1)
    forest.update(values)
    doc = forest.to_json()
    assert Forest.from_json(doc).to_json() == doc
    written = json.loads(doc)["point_store"]["shingle_buf"]
    assert [f32(v) for v in written] == values


def test_compact_layout_of_fresh_forest():
    doc = empty_forest_doc()
    rng = json.loads(doc)["trees"][0]["rng"]["s"]
    expected = (
        '{"config":{"input_dim":1,"shingle_size":1,"capacity":1,"num_trees":1,"time_decay":0.0,"output_after":0,'
        '"internal_shingling":true,"initial_accept_fraction":0.125},"trees":[{"root":18446744073709551615,'
        '"tree_mass":0,"arena":{"nodes":[],"free":[]},"rng":{"s":[%s]},"dims":1}],"samplers":[{"capacity":1,'
        '"weights":[0.0],"point_indices":[18446744073709551615],"size":0,"pending_weight":0.0,'
        '"pending_point":18446744073709551615}],"point_store":{"dim":1,"input_dim":1,"shingle_size":1,'
        '"internal_shingling":true,"store":{"v":1,"dim":[2,1],"data":[0.0,0.0]},"occupied":[false,false],'
        '"ref_count":[0,0],"next_free":0,"free_list":[],"size":0,"capacity":2,"shingle_buf":[0.0],'
        '"entries_seen":0},"entries_seen":0,"rng":{"s":[' % ",".join(map(str, rng))
    )
    assert doc.startswith(expected)
    assert doc.endswith("]}}") and "\n" not in doc and " " not in doc


def test_node_variants_and_vacant_slots():
    forest = Forest(1, num_trees=1, capacity=2, seed=1)
    for x in (1.0, 2.0, 3.0, 4.0, 5.0, 6.0):
        forest.update([x])
    nodes = json.loads(forest.to_json())["trees"][0]["arena"]["nodes"]
    kinds = [None if n is None else next(iter(n)) for n in nodes]
    assert set(kinds) <= {None, "Leaf", "Internal"} and "Internal" in kinds
    internal = next(n["Internal"] for n in nodes if n and "Internal" in n)
    assert list(internal) == ["left", "right", "cut_dim", "cut_val", "mass", "bbox"]
    assert list(internal["bbox"]) == ["min", "max", "range_sum"]


def test_mstream_layout_before_first_record():
    doc = json.loads(mstream_doc())
    assert list(doc) == ["config", "clock", "entries_seen", "record_counts", "numeric_counts",
                         "categorical_counts", "numeric_normalizer"]
    assert doc["clock"] == {"current_time": None, "current_tick": 0}
    assert doc["numeric_normalizer"] == {"min_numeric": [None], "max_numeric": [None]}
    sketch = doc["record_counts"]["current"]
    assert list(sketch) == ["num_rows", "num_buckets", "numeric_dim", "categorical_dim", "numeric_planes",
                            "categorical_coeffs", "count"]
    assert sketch["count"] == {"v": 1, "dim": [1, 2], "data": [0.0, 0.0]}


# ---- leniency -------------------------------------------------------------------

def as_arrays(value):
    """Every record (and matrix) rewritten as the array of its field values."""
    if isinstance(value, dict):
        if len(value) == 1 and next(iter(value)) in ("Leaf", "Internal"):
            return {k: as_arrays(v) for k, v in value.items()}
        return [as_arrays(v) for v in value.values()]
    if isinstance(value, list):
        return [as_arrays(v) for v in value]
    return value


def reordered(value, extra):
    """Keys reversed, plus an unknown key in every record (not matrices)."""
    if isinstance(value, dict):
        if len(value) == 1 and next(iter(value)) in ("Leaf", "Internal"):
            return {k: reordered(v, extra) for k, v in value.items()}
        out = {k: reordered(v, extra) for k, v in reversed(value.items())}
        if extra and set(value) != {"v", "dim", "data"}:
            out["zz_unknown"] = {"a": [1, -2.5e300, None, True, "x\\u00e9\"", {}], "b": []}
        return out
    if isinstance(value, list):
        return [reordered(v, extra) for v in value]
    return value


@pytest.mark.parametrize("cls, doc", [(Forest, leaf_forest_doc), (MStream, mstream_doc)])
@pytest.mark.parametrize("form", ["arrays", "reordered", "unknown_keys", "whitespace", "bytes"])
def test_accepted_forms_read_the_same_state(cls, doc, form):
    text = doc()
    if cls is MStream:
        # Null bounds are our own extension; give the lenient forms numbers.
        detector = MStream(1, 1, num_rows=1, num_buckets=2, seed=1)
        detector.update([0.5], [3], 1)
        text = detector.to_json()
    value = json.loads(text)
    if form == "arrays":
        variant = json.dumps(as_arrays(value))
    elif form == "reordered":
        variant = json.dumps(reordered(value, False))
    elif form == "unknown_keys":
        variant = json.dumps(reordered(value, True))
    elif form == "whitespace":
        variant = json.dumps(value, indent="\t").replace("\n", "\r\n ")
    else:
        variant = text.encode()
    assert cls.from_json(variant).to_json() == text


def test_integer_in_float_field():
    doc = replace_once(empty_forest_doc(), '"time_decay":0.0', '"time_decay":3')
    assert '"time_decay":3.0,' in Forest.from_json(doc).to_json()
    big = replace_once(empty_forest_doc(), '"time_decay":0.0', '"time_decay":18446744073709551615')
    assert '"time_decay":1.8446744073709552e+19,' in Forest.from_json(big).to_json()


def test_decimal_reading_edges():
    doc = empty_forest_doc()
    for text, value in [("1e-400", "0.0"), ("-1e-400", "-0.0"), ("0.1e1", "1.0"), ("1E2", "100.0"),
                        ("123456789012345678901234567890", "1.2345678901234568e+29"),
                        ("4.9406564584124654e-324", "5e-324"), ("-0", "-0.0")]:
        loaded = Forest.from_json(replace_once(doc, '"time_decay":0.0', f'"time_decay":{text}'))
        assert f'"time_decay":{value},' in loaded.to_json(), text


def test_decays_that_stop_learning_are_refused_at_load():
    for text, problem in [("-1.0", "time_decay must be finite and >= 0"), ("1e289", "time_decay must be <= 1e288")]:
        with pytest.raises(RuntimeError, match=rf'^Io\("inconsistent state: {problem}"\)$'):
            Forest.from_json(replace_once(empty_forest_doc(), '"time_decay":0.0', f'"time_decay":{text}'))


def test_quoted_strings_in_messages_are_bounded():
    doc = replace_once(empty_forest_doc(), '"next_free":0', '"next_free":"' + "\u0085" * 10**6 + '"')
    with pytest.raises(RuntimeError) as info:
        Forest.from_json(doc)
    message = str(info.value)
    assert message.startswith('Io("invalid type: string \\"' + "\\\\u{85}" * 100 + '\\"... (2000000 bytes in all), '
                              "expected usize at line 1 column ")
    assert len(message) < 1000
    doc = replace_once(empty_forest_doc(), '"v":1,', '"' + "k" * 10**6 + '":1,"v":1,')
    with pytest.raises(RuntimeError, match=r"unknown field `k{200}\.\.\. \(1000000 bytes in all\)`"):
        Forest.from_json(doc)


def test_optional_current_time_may_be_missing():
    doc = replace_once(mstream_doc(), '"current_time":null,', "")
    assert MStream.from_json(doc).to_json() == mstream_doc()


# ---- reader messages ----------------------------------------------------------

def col(doc, marker, offset=0):
    """Column (1-based) of the last byte of the first `marker` in a one-line doc."""
    return doc.index(marker) + len(marker) + offset


def cases():
    e = empty_forest_doc()
    leaf = leaf_forest_doc()
    m = mstream_doc()
    out = []

    def add(name, cls, doc, message, column, line=1):
        out.append(pytest.param(cls, doc, f"{message} at line {line} column {column}", id=name))

    add("lone_brace", Forest, "{", "EOF while parsing an object", 1)
    add("empty", Forest, "", "EOF while parsing a value", 0)
    add("not_json", Forest, "?", "expected value", 1)
    add("bad_null", Forest, "nope", "expected ident", 2)
    add("not_a_record", Forest, "5", "invalid type: integer `5`, expected struct Forest", 1)
    d = replace_once(e, ',"rng":{"s":[4', ',"rnx":{"s":[4')
    add("missing_rng", Forest, d, "missing field `rng`", len(d))
    d = replace_once(m, ',"numeric_normalizer":{"min_numeric":[null],"max_numeric":[null]}', "")
    add("missing_normalizer", MStream, d, "missing field `numeric_normalizer`", len(d))
    d = replace_once(e, '"capacity":1,', '"capacity":1,"capacity":1,')
    add("duplicate", Forest, d, "duplicate field `capacity`", col(d, '"capacity":1,"capacity"'))
    d = replace_once(leaf, '{"Leaf":', '{"Leaves":')
    add("unknown_variant", Forest, d, "unknown variant `Leaves`, expected `Internal` or `Leaf`", col(d, '"Leaves"'))
    d = replace_once(leaf, '{"Leaf":{"point_idx":0,"mass":1}}', '"Leaf"')
    add("unit_variant", Forest, d, "invalid type: unit variant, expected struct variant", col(d, '"Leaf",'))
    d = replace_once(e, '"time_decay":0.0', '"time_decay":null')
    add("null_float", Forest, d, "invalid type: null, expected f64", col(d, "null"))
    d = replace_once(e, '"shingle_buf":[0.0]', '"shingle_buf":[true]')
    add("bool_in_f32", Forest, d, "invalid type: boolean `true`, expected f32", col(d, "[true"))
    d = replace_once(e, '"next_free":0', '"next_free":-3')
    add("negative", Forest, d, "invalid value: integer `-3`, expected usize", col(d, "-3"))
    d = replace_once(e, '"next_free":0', '"next_free":2.5')
    add("fraction", Forest, d, "invalid type: floating point `2.5`, expected usize", col(d, "2.5"))
    d = replace_once(e, '"next_free":0', '"next_free":1e300')
    add("huge_float", Forest, d, "invalid type: floating point `1" + "0" * 300 + ".0`, expected usize",
        col(d, "1e300"))
    d = replace_once(e, '"next_free":0', '"next_free":18446744073709551616')
    add("beyond_u64", Forest, d, "invalid type: floating point `18446744073709552000.0`, expected usize",
        col(d, "551616"))
    d = replace_once(e, '"next_free":0', '"next_free":"x\\"y"')
    add("string", Forest, d, 'invalid type: string "x\\"y", expected usize', col(d, '"x\\"y"'))
    d = replace_once(e, '"next_free":0', '"next_free":{}')
    add("map", Forest, d, "invalid type: map, expected usize", col(d, '"next_free":'))
    d = replace_once(e, '"free_list":[]', '"free_list":3')
    add("not_a_sequence", Forest, d, "invalid type: integer `3`, expected a sequence", col(d, ":3"))
    d = replace_once(e, '"internal_shingling":true', '"internal_shingling":1')
    add("not_a_bool", Forest, d, "invalid type: integer `1`, expected a boolean", col(d, '"internal_shingling":1'))
    d = replace_once(m, '"alpha":0.8', '"alpha":[]')
    add("sequence_for_f64", MStream, d, "invalid type: sequence, expected f64", col(d, '"alpha":'))
    d = replace_once(e, '"rng":{"s":[', '"rng":{"s":[1,2,3],"t":[')
    add("short_rng", Forest, d, "invalid length 3, expected an array of length 4", col(d, "[1,2,3]"))
    i = e.index('{"dim":1,"input_dim"')
    j = e.index(',"entries_seen":0}', i)
    d = e[:i] + "[1,1,1,true]" + e[j + len(',"entries_seen":0}'):]
    add("record_array_too_short", Forest, d, "invalid length 4, expected struct PointStore with 13 elements",
        col(d, "[1,1,1,true]"))
    d = replace_once(e, '"v":1', '"v":2')
    add("matrix_version", Forest, d, "unknown array version: 2", col(d, '"v":2'))
    d = replace_once(e, '"data":[0.0,0.0]', '"data":[0.0,0.0,0.0]')
    add("matrix_size", Forest, d, "data and dimension must match in size", col(d, "0.0,0.0,0.0]}"))
    d = replace_once(e, '"v":1,', '"v":1,"w":0,')
    add("matrix_unknown_key", Forest, d, "unknown field `w`, expected one of `v`, `dim`, `data`", col(d, '"w"'))
    d = replace_once(e, '"dim":[2,1]', '"dim":[2]')
    add("matrix_axes", Forest, d, "invalid length 1, expected an array of length 2", col(d, '"dim":[2]'))
    d = replace_once(m, '"current_time":null,"current_tick":0}', '"current_time":null}')
    add("missing_in_object", MStream, d, "missing field `current_tick`", col(d, '"current_time":null}'))
    d = replace_once(m, '{"current_time":null,"current_tick":0}', "[null]")
    add("clock_array_short", MStream, d, "invalid length 1, expected struct StreamClock with 2 elements",
        col(d, "[null]"))
    d = replace_once(m, '{"current_time":null,"current_tick":0}', "[null,0,0]")
    add("record_array_long", MStream, d, "trailing characters", col(d, "[null,0,0"))
    d = replace_once(e, '"entries_seen":0,"rng"', '"entries_seen":0 "rng"')
    add("missing_comma", Forest, d, "expected `,` or `}`", col(d, '0 "'))
    d = replace_once(e, '"free_list":[]', '"free_list":[1 2]')
    add("missing_list_comma", Forest, d, "expected `,` or `]`", col(d, "[1 2"))
    d = replace_once(e, '"free_list":[]', '"free_list":[1,]')
    add("trailing_comma_list", Forest, d, "trailing comma", col(d, "[1,]"))
    d = replace_once(e, '"entries_seen":0}', '"entries_seen":0,}')
    add("trailing_comma_object", Forest, d, "trailing comma", col(d, "0,}"))
    d = replace_once(e, '"config":', '"config" ')
    add("missing_colon", Forest, d, "expected `:`", col(d, '"config" {'))
    d = replace_once(e, '"config":', "7:")
    add("key_not_string", Forest, d, "key must be a string", 2)
    d = replace_once(e, '"internal_shingling":true', '"internal_shingling":tru}')
    add("bad_ident", Forest, d, "expected ident", col(d, "tru}"))
    d = replace_once(e, '"next_free":0', '"next_free":01')
    add("leading_zero", Forest, d, "invalid number", col(d, "01"))
    d = replace_once(e, '"time_decay":0.0', '"time_decay":1.e5')
    add("bare_point", Forest, d, "invalid number", col(d, "1.e"))
    d = replace_once(e, '"time_decay":0.0', '"time_decay":1e999')
    add("out_of_range", Forest, d, "number out of range", col(d, "1e999"))
    d = replace_once(e, '"time_decay":0.0', '"time_decay":-1.8e308')
    add("out_of_range_negative", Forest, d, "number out of range", col(d, "1.8e308"))
    d = replace_once(e, '"config":', '"con\\xig":0,"config":')
    add("bad_escape", Forest, d, "invalid escape", col(d, "\\x"))
    d = replace_once(e, '"config":', '"\\u12G4":0,"config":')
    add("bad_hex", Forest, d, "invalid escape", col(d, "\\u12G4"))
    d = replace_once(e, '"config":', '"\\udc00":0,"config":')
    add("lone_trailing_surrogate", Forest, d, "lone leading surrogate in hex escape", col(d, "\\udc00"))
    d = replace_once(e, '"config":', '"\\ud800\\u0041":0,"config":')
    add("bad_pair", Forest, d, "lone leading surrogate in hex escape", col(d, "\\u0041"))
    d = replace_once(e, '"config":', '"\\ud800x":0,"config":')
    add("unfinished_pair", Forest, d, "unexpected end of hex escape", col(d, "\\ud800x"))
    d = replace_once(e, '"config":', '"a\tb":0,"config":')
    add("control_char", Forest, d, "control character (\\u0000-\\u001F) found while parsing a string",
        col(d, '"a\t'))
    d = e + " }"
    add("trailing", Forest, d, "trailing characters", len(d))
    d = replace_once(e, '"config":', '"deep":' + "[" * 127 + "]" * 127 + ',"config":')
    add("recursion_limit", Forest, d, "recursion limit exceeded", col(d, "[" * 127))
    d = '{\n  "config": {\n    "input_dim": 1\n  }\n}'
    add("multi_line", Forest, d, "missing field `shingle_size`", 3, line=4)
    d = '{"config":\n"abc'
    add("eof_in_string", Forest, d, "EOF while parsing a string", 4, line=2)
    d = replace_once(e, '"free_list":[]', '"free_list":[')[: e.index('"free_list":[') + len('"free_list":[')]
    add("eof_in_list", Forest, d, "EOF while parsing a list", len(d))
    d = replace_once(e, '"free_list":[]', '"free_list":[1')[: e.index('"free_list":[') + len('"free_list":[1')]
    add("eof_after_element", Forest, d, "EOF while parsing a list", len(d))
    return out


@pytest.mark.parametrize("cls, doc, message", cases())
def test_reader_messages(cls, doc, message):
    assert reader_error(cls, doc) == message


def test_nesting_just_below_the_limit_is_skipped():
    doc = replace_once(empty_forest_doc(), '"config":', '"deep":' + "[" * 126 + "]" * 126 + ',"config":')
    assert Forest.from_json(doc).to_json() == empty_forest_doc()


def test_every_truncation_fails_at_its_end():
    doc = leaf_forest_doc()
    for n in range(len(doc)):
        message = reader_error(Forest, doc[:n])
        assert message.endswith(f" at line 1 column {n}"), (n, message)


def test_every_record_names_its_field_count():
    # Each record written as an array one value short: the message names
    # the record and how many fields it has.
    forest = Forest(1, num_trees=1, capacity=4, seed=1)
    for v in (1.0, 2.0, 3.0):
        forest.update([v])
    fd = json.loads(forest.to_json())
    nodes = fd["trees"][0]["arena"]["nodes"]
    internal = next(i for i, n in enumerate(nodes) if n and "Internal" in n)
    leaf = next(i for i, n in enumerate(nodes) if n and "Leaf" in n)
    tree = ("trees", 0)
    arena = tree + ("arena",)
    m = MStream(1, 1, num_buckets=4, seed=1)
    m.update([1.0], [2], 1)
    md = json.loads(m.to_json())
    for cls, doc, path, record, n in [
        (Forest, fd, (), "struct Forest", 6), (Forest, fd, ("config",), "struct RcfConfig", 8),
        (Forest, fd, tree, "struct RcfTree", 5), (Forest, fd, arena, "struct NodeArena", 2),
        (Forest, fd, arena + ("nodes", leaf, "Leaf"), "struct variant Node::Leaf", 2),
        (Forest, fd, arena + ("nodes", internal, "Internal"), "struct variant Node::Internal", 6),
        (Forest, fd, arena + ("nodes", internal, "Internal", "bbox"), "struct BoundingBox", 3),
        (Forest, fd, ("rng",), "struct Xoshiro256PlusPlus", 1), (Forest, fd, ("samplers", 0), "struct Sampler", 6),
        (Forest, fd, ("point_store",), "struct PointStore", 13), (MStream, md, (), "struct MStream", 7),
        (MStream, md, ("config",), "struct MStreamConfig", 5), (MStream, md, ("clock",), "struct StreamClock", 2),
        (MStream, md, ("record_counts",), "struct SketchCounts", 2),
        (MStream, md, ("record_counts", "current"), "struct RecordSketch", 7),
        (MStream, md, ("numeric_counts", 0, "total"), "struct NumericSketch", 2),
        (MStream, md, ("categorical_counts", 0, "current"), "struct CategoricalSketch", 5),
        (MStream, md, ("numeric_normalizer",), "struct NumericRangeNormalizer", 2),
    ]:
        short = json.loads(json.dumps(doc))
        if path:
            parent = short
            for k in path[:-1]:
                parent = parent[k]
            parent[path[-1]] = list(parent[path[-1]].values())[:-1]
        else:
            short = list(short.values())[:-1]
        message = reader_error(cls, json.dumps(short, separators=(",", ":")))
        plural = "element" if n == 1 else "elements"
        assert message.startswith(f"invalid length {n - 1}, expected {record} with {n} {plural} at "), message
