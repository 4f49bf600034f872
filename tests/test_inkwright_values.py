"""Python values as TOML values, inside records: scalars, arrays, inline tables, keys."""

import enum
import re
import sys
import threading
import tomllib

import pytest

from support.inkwright_docs import Doc, Table, column, only_record, records_doc
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode
from wrenfold.datastore.adapter.toml.inkwright import write_unified_data as write


def value_text(value, escape=False) -> str:
    """The text written for `value` as the only field of a record."""
    line = only_record(encode(records_doc({"v": value}), escape_strings=escape))
    assert line.startswith("{ v = ") and line.endswith(" }"), line
    return line[len("{ v = "):-len(" }")]


def record_text(record, escape=False) -> str:
    return only_record(encode(records_doc(record), escape_strings=escape))


class TestScalars:
    @pytest.mark.parametrize(("value", "text"), [
        (True, "true"), (False, "false"), (1, "1"), (-5, "-5"), (0, "0"), (1.5, "1.5"),
        (2**70, "1180591620717411303424"), (1e16, "1e+16"), (float("inf"), "inf"),
        (float("-inf"), "-inf"), (float("nan"), "nan"), (-0.0, "-0.0"),
        ("", '""'), ("x", '"x"'), ("é😀", '"é😀"'), (b"ab", "\"b'ab'\""),
    ])
    def test_table_of_values(self, value, text):
        assert value_text(value) == text

    def test_null_inside_an_array(self):
        # The one value that does not read back: TOML has no null.
        assert value_text([None]) == "[ null ]"
        with pytest.raises(tomllib.TOMLDecodeError):
            tomllib.loads(encode(records_doc({"v": [None]}), escape_strings=True))

    def test_int_beyond_the_digit_limit_raises(self):
        with pytest.raises(ValueError):
            value_text(10 ** (sys.get_int_max_str_digits() + 1))

    def test_subclasses_of_int_and_float_use_their_str(self):
        class Money(int):
            def __str__(self):
                return "42"

        class Ratio(float):
            def __str__(self):
                return "0.25"

        assert value_text([Money(7), Ratio(9.0)]) == "[ 42, 0.25 ]"

    def test_str_subclass_is_written_from_its_data_not_its_str(self):
        class Tag(str):
            def __str__(self):
                return "other"

        assert value_text(Tag("a\t")) == '"a\t"'
        assert value_text(Tag('a"'), escape=True) == '"a\\""'

    def test_other_objects_are_their_quoted_str(self):
        class Thing:
            def __str__(self):
                return 'a"\n'

        with pytest.raises(ValueError, match="field 'v': the text holds a double quote"):
            value_text(Thing())
        assert value_text(Thing(), escape=True) == '"a\\"\\n"'

    def test_failing_str_propagates(self):
        class Broken:
            def __str__(self):
                raise ZeroDivisionError

        class BrokenInt(int):
            def __str__(self):
                raise KeyError("k")

        with pytest.raises(ZeroDivisionError):
            value_text(Broken())
        with pytest.raises(KeyError):
            value_text([BrokenInt(1)])

    @pytest.mark.parametrize("escape", [False, True])
    def test_lone_surrogate_raises(self, escape):
        with pytest.raises(UnicodeEncodeError):
            value_text("a\ud800", escape)


class Status(int, enum.Enum):
    ACTIVE = 1


class Shouting(float):
    def __str__(self):
        return "TWO AND A HALF"


class Hex(int):
    def __str__(self):
        return hex(self)


class Padded(float):
    def __str__(self):
        return f"{float(self):.2f}"


class Wide(int):
    def __str__(self):
        return "\uff17"  # FULLWIDTH DIGIT SEVEN: a digit to int(), not to TOML


class Big(int):
    def __str__(self):
        return "big"


class Injecting(int):
    def __str__(self):
        return "1, is_admin = true"


class TestNumberSubclasses:
    # Their str() is written only where TOML reads it as a number, in either mode: any other
    # text would leave a file no reader loads, or one with keys of its own.
    @pytest.mark.parametrize(("value", "text"), [
        (Status.ACTIVE, "1"),
        (re.IGNORECASE, "2"),
        (re.IGNORECASE | re.MULTILINE, "10"),
        (Shouting(2.5), "2.5"),
        (Shouting(float("-inf")), "-inf"),
        (Wide(7), "7"),
        (Big(2**70), "1180591620717411303424"),
        (Big(-(2**63)), "-9223372036854775808"),
        (Injecting(5), "5"),
        # Their own text is a TOML number: kept.
        (Hex(255), "0xff"),
        (Padded(1.5), "1.50"),
        (True, "true"),
    ], ids=["int-enum", "regex-flag", "regex-flags", "float", "float-inf", "non-ascii-digit",
            "beyond-64-bits", "int64-min", "injection", "hex", "padded-float", "bool"])
    @pytest.mark.parametrize("escape", [False, True])
    def test_text_or_value(self, value, text, escape):
        assert value_text(value, escape) == text
        assert tomllib.loads(f"v = {text}")["v"] == value

    def test_inherited_str_is_the_value_without_a_call(self):
        class Plain(int):
            pass

        class Scaled(float):
            pass

        for escape in (False, True):
            assert value_text([Plain(-3), Scaled(0.1), Plain(2**64)], escape) == (
                "[ -3, 0.1, 18446744073709551616 ]")

    def test_repr_override_is_used_as_str_would(self):
        class Reprs(int):
            def __repr__(self):
                return "Reprs()"

        for escape in (False, True):
            assert value_text(Reprs(4), escape) == "4"

    @pytest.mark.parametrize("escape", [False, True])
    def test_subclass_beyond_the_digit_limit_raises(self, escape):
        with pytest.raises(ValueError):
            value_text(Big(10 ** (sys.get_int_max_str_digits() + 1)), escape)


class TestContainers:
    @pytest.mark.parametrize(("value", "text"), [
        ([1, 2], "[ 1, 2 ]"), ([], "[  ]"), ((1,), "[ 1 ]"), ((), "[  ]"),
        ([[]], "[ [  ] ]"), ([1, [2, (3, "x")]], '[ 1, [ 2, [ 3, "x" ] ] ]'),
        ({}, "{  }"), ({"a": None}, "{  }"),
        ({"a": 1, "b": None, "d": True}, "{ a = 1, d = true }"),
        ({"a": {"b": {"c": []}}}, "{ a = { b = { c = [  ] } } }"),
    ])
    def test_arrays_and_inline_tables(self, value, text):
        assert value_text(value) == text

    def test_record_skips_none_fields_without_separators(self):
        assert record_text({"a": None, "b": 1, "c": None, "d": 2, "e": None}) == "{ b = 1, d = 2 }"

    def test_subclasses_are_read_from_their_storage(self):
        class L(list):
            def __iter__(self):
                raise AssertionError("not used")

            def __len__(self):
                return 0

        class T(tuple):
            def __getitem__(self, i):
                raise AssertionError("not used")

        class D(dict):
            def items(self):
                raise AssertionError("not used")

            def __iter__(self):
                raise AssertionError("not used")

        assert value_text([L([1, 2]), T((3,)), D(a=4)]) == "[ [ 1, 2 ], [ 3 ], { a = 4 } ]"

    @pytest.mark.parametrize("depth", [1, 2, 5])
    @pytest.mark.parametrize("escape", [False, True])
    def test_strings_escaped_at_any_depth(self, depth, escape):
        value = 'q"\t' if escape else "q\t"
        for level in range(depth):
            value = [value] if level % 2 else {"k": value}
        text = value_text(value, escape)
        assert text.count('"q\\"\\t"' if escape else '"q\t"') == 1


class TestKeys:
    @pytest.mark.parametrize("key", ["a", "Z_9-x", "123", "-"])
    def test_bare_keys_are_written_bare(self, key):
        assert record_text({key: 1}, escape=True) == f"{{ {key} = 1 }}"

    @pytest.mark.parametrize("key", ["a.b", "first name", "", "é", "a=b", "#", "[x]"])
    def test_other_keys_are_quoted(self, key):
        assert record_text({key: 1}) == f'{{ "{key}" = 1 }}'
        assert record_text({key: 1}, escape=True) == f'{{ "{key}" = 1 }}'

    def test_quoted_keys_are_escaped_in_escaped_mode(self):
        assert record_text({"a.b\t": 1}) == '{ "a.b\t" = 1 }'
        assert record_text({'a"\\\n': 1}, escape=True) == '{ "a\\"\\\\\\n" = 1 }'

    @pytest.mark.parametrize("key", [1, None, b"k", ("t",)])
    def test_non_str_key_raises(self, key):
        with pytest.raises(TypeError, match="keys of a TOML table must be str"):
            record_text({key: 1})

    def test_lone_surrogate_key_raises(self):
        with pytest.raises(UnicodeEncodeError):
            record_text({"\udc80": 1})


def nested(depth, make):
    value = None
    for _ in range(depth):
        value = make(value)
    return value


class TestRecursion:
    @pytest.mark.parametrize("make", [
        lambda v: [v], lambda v: (v,), lambda v: {"a": v}, lambda v: [{"a": v}],
    ], ids=["list", "tuple", "dict", "mixed"])
    def test_deep_nesting_raises_recursion_error(self, make):
        value = nested(100_000, make)
        with pytest.raises(RecursionError):
            value_text(value)

    @pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"a": v}], ids=["list", "dict"])
    def test_deep_nesting_in_a_thread_of_small_stack(self, make):
        # A thread may have a fraction of the main thread's stack; the guard must stop within
        # it, where 3.12 and 3.13 would allow 10,000 levels of C calls.
        value = nested(100_000, make)
        raised = []

        def encode_deep():
            try:
                value_text(value)
            except RecursionError:
                raised.append(True)

        old = threading.stack_size(2 << 20)
        try:
            thread = threading.Thread(target=encode_deep)
            thread.start()
            thread.join()
        finally:
            threading.stack_size(old)
        assert raised == [True]

    def test_self_containing_list(self):
        value = [1]
        value.append(value)
        with pytest.raises(RecursionError):
            value_text(value)

    def test_self_containing_dict(self):
        value = {"a": 1}
        value["self"] = [value]
        with pytest.raises(RecursionError):
            value_text(value, escape=True)

    @pytest.mark.parametrize("shape", ["deep", "self-list", "self-dict"])
    @pytest.mark.parametrize("place", ["record", "default"])
    @pytest.mark.parametrize("entry", ["encode", "write"])
    def test_both_entry_points_raise_recursion_error(self, tmp_path, shape, place, entry):
        if shape == "deep":
            value = nested(100_000, lambda v: [{"a": v}])
        elif shape == "self-list":
            value = [1]
            value.append(value)
        else:
            value = {"a": 1}
            value["self"] = value
        doc = (records_doc({"v": value}) if place == "record"
               else Doc({"t": Table([column(default=value)])}))
        target = tmp_path / "db.toml"
        with pytest.raises(RecursionError):
            if entry == "encode":
                encode(doc, escape_strings=True)
            else:
                write(doc, str(target))
        assert not target.exists()

    def test_moderate_nesting_still_works_after_recursion_errors(self):
        value = [1]
        value.append(value)
        for _ in range(3):
            with pytest.raises(RecursionError):
                value_text(value)
        assert value_text(nested(200, lambda v: [v])) == "[ " * 199 + "[ null ]" + " ]" * 199
