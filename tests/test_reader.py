"""loads and load keep tomllib's contract: arguments, result types, parse_float and errors."""

import datetime
import gc
import io
import math
import platform
import random
import sys
import tomllib

import pytest

from wrenfold.datastore.adapter.toml import inkreader, load, loads

MODERN = sys.version_info >= (3, 14)


def raised(call):
    try:
        call()
    except Exception as exc:
        return type(exc), str(exc)
    return None


class TestArguments:
    @pytest.mark.parametrize("call", [
        lambda m: m.loads(), lambda m: m.loads("a = 1", float), lambda m: m.loads(s="a = 1"),
        lambda m: m.loads("a = 1", parse_floats=float), lambda m: m.loads(b"a = 1"),
        lambda m: m.loads(None), lambda m: m.load(), lambda m: m.load(fp=io.BytesIO(b"")),
        lambda m: m.load(io.StringIO("a = 1")), lambda m: m.load(io.BytesIO(b"\xff")),
        lambda m: m.load(io.BytesIO(b"a = 1"), 1),
    ], ids=["none", "two", "s-by-keyword", "unknown-keyword", "bytes", "None", "load-none",
            "fp-by-keyword", "text-file", "bad-utf8", "load-two"])
    def test_same_error_as_tomllib(self, call):
        ours = raised(lambda: call(sys.modules["wrenfold.datastore.adapter.toml.inkreader"]))
        theirs = raised(lambda: call(tomllib))
        # The contract is 3.14's tomllib; older ones raise AttributeError for loads(None).
        # 3.14 adds a "Did you mean" suggestion for a misspelt keyword.
        assert ours is not None
        assert (ours[0] is theirs[0] and theirs[1].startswith(ours[1])) or not MODERN

    def test_str_subclass_and_binary_files_of_every_kind(self, tmp_path):
        class Text(str):
            pass

        assert loads(Text("a = 1")) == {"a": 1}
        path = tmp_path / "t.toml"
        path.write_bytes(b"a = 'x'\n")
        with open(path, "rb") as f:
            assert load(f) == {"a": "x"}
        assert load(io.BytesIO(bytearray(b"a = 2"))) == {"a": 2}  # decoded, as tomllib does


class TestValues:
    def test_types_as_tomllib_gives_them(self):
        text = """
            i = -17
            big = 123456789012345678901234567890
            hex = 0xDEAD_BEEF_DEAD_BEEF_DEAD
            f = 6.02e+23
            b = [true, false]
            odt = 1979-05-27T07:32:00.999999999-07:00
            ldt = 1979-05-27 07:32:00
            d = 1979-05-27
            t = 00:32:00.5
            s = ["a\\tb", 'c\\d', \"\"\"
            e\\
              f\"\"\", '''g\r\nh''']
        """
        ours, theirs = loads(text), tomllib.loads(text)
        assert ours == theirs
        assert [type(v) for v in ours.values()] == [type(v) for v in theirs.values()]
        assert ours["odt"].tzinfo == datetime.timezone(datetime.timedelta(hours=-7))
        assert ours["ldt"].tzinfo is None and ours["s"][3] == "g\nh"

    def test_offsets_share_their_timezone_objects(self):
        out = loads("a = 2000-01-01T00:00:00+05:30\nb = 2001-01-01T00:00:00+05:30\n"
                    "c = 2000-01-01T00:00:00Z\nd = 2000-01-01T00:00:00-00:00")
        assert out["a"].tzinfo is out["b"].tzinfo
        assert out["c"].tzinfo is datetime.timezone.utc is out["d"].tzinfo

    def test_byte_order_mark_is_accepted(self):
        assert loads("\ufeffa = 1") == {"a": 1}
        # Its UTF-8 read as Latin-1 characters is not one.
        with pytest.raises(tomllib.TOMLDecodeError):
            loads("\xef\xbb\xbfa = 1")
        assert load(io.BytesIO(b"\xef\xbb\xbfa = 1")) == {"a": 1}

    def test_lone_surrogate_cannot_be_read(self):
        with pytest.raises(UnicodeEncodeError):
            loads('a = "\ud800"')

    @pytest.mark.parametrize("scalar", [False, True])
    def test_text_of_every_width_reads_as_tomllib_reads_it(self, scalar):
        # Both loop sets: runs of 1- to 4-byte characters in every kind of str and place, the
        # characters before each string counted right (a byte-order mark among them).
        r = random.Random(3)
        pool = "aZ ~\xe9\xff\u0100\u0436\u03a9\u07ff\u0800\u3042\ud55c\uffff\U00010000\U0001f600\U0010ffff"
        was = inkreader._scalar_text(scalar)
        try:
            for _ in range(400):
                w = ["".join(r.choice(pool[: r.randint(2, len(pool))]) * r.randint(1, 3)
                             for _ in range(r.randint(0, 30))) for _ in range(4)]
                doc = f'# {w[0]}\nk = "{w[1]}"\n"{w[2]}" = [\'{w[3]}\', """{w[1]}\\u00e9"""]\n'
                assert loads(doc) == tomllib.loads(doc) == loads("\ufeff" + doc), doc
                assert load(io.BytesIO(doc.encode())) == tomllib.loads(doc), doc
            for doc in ['a = "\ud800"', 'a = "\xe9\xe9 \udfff"', "a = '" + "\u0436" * 40 + "\udc80'"]:
                assert raised(lambda: loads(doc)) == raised(doc.encode), doc
        finally:
            inkreader._scalar_text(was)

    def test_vector_paths_name_the_loops_in_use(self):
        # The benchmark reports it; none when scalar.
        expected = {"x86_64": {"sse2", "avx2"}, "aarch64": {"neon"}}.get(platform.machine(), {None})
        paths = inkreader._vector_paths()
        assert paths.keys() == {"text"} and paths["text"] in expected, paths
        was = inkreader._scalar_text(True)
        try:
            assert inkreader._vector_paths() == {"text": None}
        finally:
            inkreader._scalar_text(was)
        assert inkreader._vector_paths() == paths

    def test_integer_digit_limit(self):
        digits = "9" * (sys.get_int_max_str_digits() + 1)
        assert raised(lambda: loads(f"a = {digits}")) == raised(lambda: tomllib.loads(f"a = {digits}"))
        assert raised(lambda: loads(f"a = {digits}"))[0] is ValueError
        hex_digits = "f" * 5000  # not decimal: no limit
        assert loads(f"a = 0x{hex_digits}") == {"a": int(hex_digits, 16)}

    def test_floats_read_exactly_as_float_does(self):
        import random

        r = random.Random(7)
        for _ in range(20_000):
            text = repr(r.choice([r.uniform(-1e9, 1e9), r.random() * 10 ** r.randint(-320, 308),
                                  r.getrandbits(64) / 7]))
            if "e" in text or "." in text:
                assert loads(f"x = {text}")["x"] == float(text), text
        for text in ["1e400", "-1e400", "1e-400", "4.9e-324", "1_000.000_1e-1_0", "+0.0", "-0.0"]:
            value = loads(f"x = {text}")["x"]
            assert value == float(text.replace("_", "")) and math.copysign(1, value) == math.copysign(
                1, float(text.replace("_", "")))

    def test_short_decimals_read_exactly_as_float_does(self):
        # Around 2**53, 10**22 and 19 digits: where one rounding is exact and where it is not.
        r = random.Random(11)
        texts = ["9007199254740993.0", "9007199254740992e0", "9007199254740993e1", "1e22", "1e23",
                 "-0e0", "0.0e-22", "123456789012345678.9e-3", "4.35e-20", "1.7976931348623157e308"]
        # Exact midpoints between two doubles and their neighbours (ties go to the even one),
        # and the same digits scaled by powers of ten.
        for bits in range(54, 64):
            for odd in (1, 3):
                for near in (-1, 0, 1):
                    w = 2**bits + odd * 2 ** (bits - 53) + near
                    texts += [f"{w}.0", f"{w // 10}.{w % 10}e1", f"{w}e-27", f"{w}e-13", f"{w}e4"]
        for _ in range(30_000):
            digits = str(r.getrandbits(r.randint(1, 66)))[: r.randint(1, 20)] + "0" * r.randint(0, 2)
            point = r.randint(1, len(digits))
            text = r.choice(["", "-", "+"]) + (digits[:point].lstrip("0") or "0")
            text += "." + digits[point:] if point < len(digits) and r.random() < 0.8 else ""
            exponent = r.choice("eE") + r.choice(["", "+", "-"]) + str(r.randint(0, 40))
            texts.append(text + (exponent if "." not in text or r.random() < 0.5 else ""))
        for text in texts:
            value = loads(f"x = {text}")["x"]
            assert value == float(text) and math.copysign(1, value) == math.copysign(1, float(text)), text

    def test_a_million_floats_read_as_float_reads_them(self):
        # One array, so that the reader's own paths decide nearly all: digits of every length
        # around 19 at every scale (zero and infinity beyond them), doubles written in full,
        # and the ties that 19 digits can write.
        r = random.Random(2026)
        texts = []
        for _ in range(600_000):
            digits = str(r.getrandbits(66))[: r.randint(1, 21)]
            texts.append(f"{r.choice('-+')}{digits[0]}.{digits[1:] or 0}e{r.randint(-345, 310)}")
        for _ in range(400_000):
            texts.append(repr(r.choice([-1, 1]) * 2.0 ** r.uniform(-1075, 1023.9)))
        texts += [f"{2**b + o * 2 ** (b - 53)}e{s}" for b in range(54, 64) for o in range(1, 40, 2)
                  for s in range(-4, 24)]
        got = loads("x = [" + ",".join(texts) + "]")["x"]
        want = [float(t) for t in texts]
        assert [(v, math.copysign(1, v)) for v in got] == [(v, math.copysign(1, v)) for v in want]

    @pytest.mark.parametrize("value", [0, 7, 2**53 + 1, 2**63 - 1, 2**63, 2**63 + 1, 10**19 - 1,
                                       2**64 - 1, 2**64, 10**19, 10**20])
    def test_integers_around_sixty_four_bits(self, value):
        for text in (str(value), f"-{value}", f"+{value}"):
            parsed = loads(f"x = {text}\ny = [{text},{text}]\nz = {{a = {text}}}")
            assert parsed == {"x": int(text), "y": [int(text)] * 2, "z": {"a": int(text)}}


class TestParseFloat:
    TEXT = "a = 1_0.5\nb = [+inf, -nan, 1e3]\nc = {d = 0.1}\nn = 3\n"

    def test_called_with_the_same_texts_as_tomllib(self):
        ours, theirs = [], []
        loads(self.TEXT, parse_float=lambda s: ours.append(s) or s)
        tomllib.loads(self.TEXT, parse_float=lambda s: theirs.append(s) or s)
        assert ours == theirs == ["1_0.5", "+inf", "-nan", "1e3", "0.1"]

    @pytest.mark.parametrize("result", [{}, [], type("L", (list,), {})()])
    def test_dicts_and_lists_are_refused(self, result):
        assert raised(lambda: loads(self.TEXT, parse_float=lambda s: result)) == (
            ValueError, "parse_float must not return dicts or lists")

    def test_its_exception_propagates_unchanged(self):
        class Mine(Exception):
            pass

        def fail(text):
            raise Mine(text)

        with pytest.raises(Mine, match="^1_0.5$"):
            loads(self.TEXT, parse_float=fail)

    def test_reading_other_documents_inside_a_record(self):
        # Each call reads documents of other keys, which take over the cache of key strings,
        # while the record whose key was matched in place holds it.
        other = "\n".join(f"t{i} = [{{k{i} = 1}}, {{k{i} = 2}}]" for i in range(3000))

        def reading(text):
            loads(other)
            return float(text)

        text = "r = [" + ", ".join(f"{{name_{i % 3} = 0.5, id = 1.5}}" for i in range(30)) + "]"
        assert loads(text, parse_float=reading) == tomllib.loads(text)


@pytest.mark.parametrize("enabled", [True, False], ids=["collector-on", "collector-off"])
def test_garbage_collector_is_left_as_it_was(enabled):
    # The collector is paused while a document is read: a read that ends any way resumes it
    # only if it ran before.
    def mine(text):
        raise LookupError(text)

    (gc.enable if enabled else gc.disable)()
    try:
        loads("a = [1, {b = 2}]")
        for bad in (lambda: loads("a = "), lambda: loads("a = 1.5", parse_float=mine),
                    lambda: load(io.BytesIO(b"a = [" * 100_000))):
            with pytest.raises((tomllib.TOMLDecodeError, LookupError, RecursionError)):
                bad()
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


class TestErrors:
    @pytest.mark.parametrize("text, at", [
        ('a = "é"\nb = ?\n', "?"),
        ('a = "ж"\nb = ?\n', "?"),
        ('a = "\U0001f600"\nb = ?\n', "?"),
        ('"ж" = "\x7f"', "\x7f"),
        ("# \U0001f600 \x01\n", "\x01"),
        ("[t]\nx = 1\n[t]\n", "]"),
        ("a = 1\na = 2\n", "\n"),
        ('"é" = [1, 2\n', ""),
        ("a = 'x\n", "\n"),
        ("a = {b = 1,,}", ","),
        ("a = 1979-02-30", "1"),
    ])
    def test_position_is_the_offending_character(self, text, at):
        with pytest.raises(tomllib.TOMLDecodeError) as info:
            loads(text)
        with pytest.raises(tomllib.TOMLDecodeError):
            tomllib.loads(text)
        error = info.value
        if at in ("\x01", "\x7f"):  # the character named, from the str
            assert repr(at) in str(error)
        if not MODERN:
            assert "(at " in str(error)
            return
        assert error.doc is text and text[error.pos:error.pos + 1] == at
        line_start = text.rfind("\n", 0, error.pos) + 1
        assert (error.lineno, error.colno) == (text.count("\n", 0, error.pos) + 1,
                                               error.pos - line_start + 1)
        assert str(error) == f"{error.msg} (at " + (
            "end of document)" if at == "" else f"line {error.lineno}, column {error.colno})")

    def test_load_reports_positions_in_the_decoded_text(self):
        with pytest.raises(tomllib.TOMLDecodeError) as info:
            load(io.BytesIO('x = "ü"\ny = @'.encode()))
        if MODERN:
            assert (info.value.lineno, info.value.colno, info.value.pos) == (2, 5, 12)
        else:
            assert str(info.value).endswith("(at line 2, column 5)")

    def test_null_is_not_toml(self):
        with pytest.raises(tomllib.TOMLDecodeError):
            loads("a = [null]")


def test_public_functions_introspect_as_tomllib_does():
    import inspect

    import wrenfold
    from wrenfold.datastore.adapter import toml

    def shape(f):
        return [(name, p.kind, p.default) for name, p in inspect.signature(f).parameters.items()]
    assert [shape(toml.loads), shape(toml.load)] == [shape(tomllib.loads), shape(tomllib.load)]
    assert [shape(toml.read_unified_data)[0][0], shape(toml.decode_unified_data)[0][0]] == [
        "filepath", "text"]
    assert wrenfold.__version__.count(".") >= 1
