"""Seeded documents for the benchmarks, as models for our encoder and as the plain dicts the
peers take.

Raw mode refuses text holding a double quote, a backslash, a control character other than tab
or DEL, which 3% of the mixed records hold. Each document therefore also comes raw-safe for the
raw writers: the same seed, shape and lengths, those characters replaced.

Every benchmark process needs its document: the records of each are made once and kept in
build/bench/docs (unpickling the largest takes a fifth of making it), under a name that changes
with this file, and the model is put together around them without validation.
"""

from __future__ import annotations

import atexit
import functools
import hashlib
import os
import pickle
import random
import shutil
import tempfile
from typing import Any, Callable

FIRST = ["Ada", "Grace", "Alan", "Edsger", "Barbara", "Donald", "Frances", "Ken", "Radia",
         "Leslie", "Margaret", "John", "Niklaus", "Sophie", "Tony", "Yukihiro"]
LAST = ["Lovelace", "Hopper", "Turing", "Dijkstra", "Liskov", "Knuth", "Allen", "Thompson",
        "Perlman", "Lamport", "Hamilton", "Backus", "Wirth", "Wilson", "Hoare", "Matsumoto"]
WORDS = ["order", "shipped", "late", "refund", "customer", "asked", "about", "the", "invoice",
         "call", "back", "monday", "priority", "account", "closed", "pending", "review", "ok"]
TAGS = ["new", "vip", "trial", "churn-risk", "eu", "us", "apac", "beta", "partner"]
WIDE_TAGS = ["новый", "vip", "試用", "élite", "ευρώπη", "us", "アジア", "bêta", "партнёр"]
# For the document with about half its text outside ASCII: per language, given names,
# family names and words; each record is written in one language, as real data is.
LANGUAGES = [
    (["Анна", "Иван", "Ольга", "Пётр"], ["Иванова", "Смирнов", "Кузнецова", "Попов"],
     ["заказ", "клиент", "оплата", "счёт", "доставка", "возврат", "позвонить", "понедельник"]),
    (["Ελένη", "Γιώργος", "Μαρία", "Νίκος"], ["Παπαδοπούλου", "Νικολάου", "Ιωάννου", "Βλάχος"],
     ["παραγγελία", "πελάτης", "τιμολόγιο", "πληρωμή", "επιστροφή", "αποστολή", "Δευτέρα"]),
    (["さくら", "太郎", "陽子", "健"], ["山田", "佐藤", "鈴木", "高橋"],
     ["注文", "顧客", "請求書", "支払い", "返品", "配送", "月曜日", "確認"]),
    (["Zoë", "Jürgen", "Łukasz", "Françoise"], ["Ångström", "Müller", "Wałęsa", "Lefèvre"],
     ["Bestellung", "zamówienie", "facturé", "Rückgabe", "płatność", "livrée", "größer"]),
    (["민준", "서연", "지훈", "하은"], ["김", "이", "박", "최"],
     ["주문", "고객", "청구서", "결제", "반품", "배송", "월요일"]),
]
ESCAPED_NOTE = ' said "call me"\nthen hung up'
# What raw mode refuses, each replaced by one character it carries.
RAW_SAFE = {**{c: " " for c in range(0x20) if c != 0x09}, 0x22: "'", 0x5C: "/", 0x7F: " "}

# Column fields that differ from their defaults: the plain dict's columns as they are, and
# ColumnData's arguments for the model.
MIXED_COLUMNS: list[dict[str, Any]] = [
    {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
    {"name": "name", "type": "TEXT", "comment": "display name"},
    {"name": "email", "type": "TEXT", "unique": True},
    {"name": "age", "type": "INTEGER", "nullable": True},
    {"name": "balance", "type": "REAL", "default": 0.0},
    {"name": "active", "type": "BOOLEAN", "default": True},
    {"name": "created_at", "type": "TEXT"},
    {"name": "tags", "type": "JSON"},
    {"name": "note", "type": "TEXT", "nullable": True},
]

NUMERIC_COLUMNS: list[dict[str, Any]] = [{"name": "id", "type": "INTEGER", "primary_key": True}] + [
    {"name": name, "type": kind} for name, kind in
    [("ts", "REAL"), ("t", "REAL"), ("p", "REAL"), ("rh", "REAL"), ("x", "REAL"),
     ("y", "REAL"), ("count", "INTEGER"), ("bytes", "INTEGER"), ("delta", "INTEGER")]
]


def _words(rng: random.Random, pool: list[str], n: int) -> str:
    return " ".join(rng.choice(pool) for _ in range(n))


def mixed_record(rng: random.Random, i: int, wide: bool = False,
                 raw_safe: bool = False) -> dict[str, Any]:
    given, family, words = rng.choice(LANGUAGES) if wide else (FIRST, LAST, WORDS)
    first, last = rng.choice(given), rng.choice(family)
    name = f"{first} {last}"
    note = None
    roll = rng.random()
    if roll < 0.6:
        note = _words(rng, words, rng.randint(3, 12))
        if roll < 0.03:
            # The few escapes.
            note += ESCAPED_NOTE.translate(RAW_SAFE) if raw_safe else ESCAPED_NOTE
    return {
        "id": i,
        "name": name,
        "email": f"{first.lower()}.{last.lower()}{i}@{'пример.рф' if wide else 'example.org'}",
        "age": rng.randint(18, 90) if rng.random() < 0.9 else None,
        "balance": round(rng.uniform(-500, 20000), 2),
        "active": rng.random() < 0.8,
        "created_at": f"20{rng.randint(10, 24)}-{rng.randint(1, 12):02d}-"
                      f"{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:"
                      f"{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}Z",
        "tags": rng.sample(WIDE_TAGS if wide else TAGS, rng.randint(0, 3)),
        "note": note,
    }


def numeric_record(rng: random.Random, i: int) -> dict[str, Any]:
    # Readings at their instrument's precision, and computed values with every digit.
    return {
        "id": i,
        "ts": round(1.7e9 + i * 0.25 + rng.random(), 3),
        "t": round(rng.gauss(21.5, 4.0), 2),
        "p": round(rng.gauss(1013.25, 8.0), 1),
        "rh": round(rng.random(), 3),
        "x": rng.uniform(-1e-6, 1e-6),
        "y": rng.gauss(0.0, 1.0) * 10 ** rng.randint(-3, 20),
        "count": rng.randint(0, 10_000),
        "bytes": rng.randint(0, 2**53),
        "delta": rng.randint(-(2**63), 2**63 - 1),
    }


def records_of(name: str, tables: int, records: int, kind: str = "mixed", seed: int = 20240605,
               raw_safe: bool = False) -> dict[str, list[dict[str, Any]]]:
    """The records of every table, None values kept; `raw_safe`: the variant that raw mode can
    write."""
    rng = random.Random(f"{seed}:{name}")
    rows_of: dict[str, list[dict[str, Any]]] = {}
    next_id = 1
    for t in range(tables):
        rows = []
        for _ in range(records):
            if kind == "numeric":
                rows.append(numeric_record(rng, next_id))
            else:
                rows.append(mixed_record(rng, next_id, kind == "wide", raw_safe))
            next_id += 1
        rows_of[f"table_{t:02d}"] = rows
    return rows_of


def plain(rows_of: dict[str, list[dict[str, Any]]], kind: str = "mixed") -> dict[str, Any]:
    """The document as the peers take it: a plain dict, None values left out as TOML has no
    null."""
    columns = NUMERIC_COLUMNS if kind == "numeric" else MIXED_COLUMNS
    tables = {name: {"columns": [dict(c) for c in columns],
                     "records": [{k: v for k, v in r.items() if v is not None} for r in rows]}
              for name, rows in rows_of.items()}
    return {"header": {"version": "1.0", "schema_version": "7", "tables": list(tables)},
            "tables": tables}


def model(rows_of: dict[str, list[dict[str, Any]]], kind: str = "mixed") -> Any:
    """The UnifiedDataFormat of the records, which it holds as they are."""
    from wrenfold.datastore.tables.data import ColumnData, TableData
    from wrenfold.datastore.unified import UnifiedDataFormat

    columns = [ColumnData(**c) for c in (NUMERIC_COLUMNS if kind == "numeric" else MIXED_COLUMNS)]
    doc = UnifiedDataFormat(version="1.0", schema_version="7")
    for table_name, rows in rows_of.items():
        # model_construct: the records stay the very dicts given, with no validation.
        doc.tables.add(table_name, TableData.model_construct(columns=columns, records=rows))
    return doc


def label(name: str) -> str:
    """A document's name in the tables; for text beyond ASCII, with its share of the text."""
    if DOCS[name][2] != "wide":
        return name
    total = wide = 0
    for rows in named_records(name).values():
        for record in rows:
            for v in record.values():
                if isinstance(v, str):
                    total += len(v)
                    wide += sum(1 for ch in v if ord(ch) > 127)
    return f"{name} ({wide / total:.0%} non-ASCII)"


# name: (tables, records per table, kind)
DOCS = {
    "1x100": (1, 100, "mixed"),
    "10x1k": (10, 1_000, "mixed"),
    "20x10k": (20, 10_000, "mixed"),
    "non-ascii-10x1k": (10, 1_000, "wide"),
    "numeric-10x1k": (10, 1_000, "numeric"),
    "1x1k": (1, 1_000, "mixed"),
    "1x100k": (1, 100_000, "mixed"),
    "20x45k": (20, 45_000, "mixed"),
    # About 1 MB and 100 MB of TOML, for the reader's time per MB at both sizes.
    "scale-1mb": (1, 4_400, "mixed"),
    "scale-100mb": (44, 10_000, "mixed"),
}


# Timed in one round only: each benchmark process takes long to build them.
ONCE_DOCS = frozenset({"20x45k", "scale-100mb"})

CACHE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build",
                     "bench", "docs")


def _cached(stem: str, sources: list[str], make: Callable[[], Any]) -> Any:
    """make()'s result, from the cache when it holds it: under a name that changes with the
    source files that make it."""
    digest = hashlib.sha256()
    for source in sources:
        with open(source, "rb") as f:
            digest.update(f.read())
    path = os.path.join(CACHE, f"{stem}-{digest.hexdigest()[:12]}.pickle")
    try:
        with open(path, "rb") as f:
            return pickle.load(f)
    except FileNotFoundError:
        pass
    made = make()
    os.makedirs(CACHE, exist_ok=True)
    # Written aside and renamed, so that a process reading it never sees half of it.
    fd, temp = tempfile.mkstemp(dir=CACHE, suffix=".tmp")
    with os.fdopen(fd, "wb") as f:
        pickle.dump(made, f, protocol=pickle.HIGHEST_PROTOCOL)
    os.replace(temp, path)
    return made


@functools.cache
def named_records(name: str, raw_safe: bool = False) -> dict[str, list[dict[str, Any]]]:
    """records_of() a document of DOCS."""
    tables, records, kind = DOCS[name]
    return _cached(f"{name}{'-raw-safe' if raw_safe else ''}", [__file__],
                   lambda: records_of(name, tables, records, kind, raw_safe=raw_safe))


class Document:
    """A document of DOCS in the forms the writers and readers take, each made on first use;
    `limit`: about that many records at most, the first ones of every table."""

    def __init__(self, name: str, raw_safe: bool = False, limit: int | None = None) -> None:
        self.name, self.kind, self.raw_safe, self.limit = name, DOCS[name][2], raw_safe, limit
        rows_of = named_records(name, raw_safe)
        tables, per_table = DOCS[name][0], DOCS[name][1]
        if limit is not None and limit < tables * per_table:
            per_table = max(1, limit // tables)
            rows_of = {t: rows[:per_table] for t, rows in rows_of.items()}
        self.rows_of, self.records = rows_of, tables * per_table

    @functools.cached_property
    def plain(self) -> dict[str, Any]:
        return plain(self.rows_of, self.kind)

    @functools.cached_property
    def model(self) -> Any:
        return model(self.rows_of, self.kind)

    @functools.cached_property
    def toml(self) -> str:
        """What the readers read: our encoder's text in escaped mode."""
        from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

        return encode_unified_data(self.model, escape_strings=True)

    @functools.cached_property
    def folder(self) -> str:
        """A folder for files, on the disk of the current folder (a temporary folder's may be in
        memory), removed at exit."""
        folder = tempfile.mkdtemp(prefix="bench-files-", dir=os.getcwd())
        atexit.register(shutil.rmtree, folder, True)
        return folder

    @functools.cached_property
    def toml_path(self) -> str:
        path = os.path.join(self.folder, "doc.toml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.toml)
        return path

    @functools.cached_property
    def json(self) -> bytes:
        import orjson

        return orjson.dumps(self.plain)

    @functools.cached_property
    def tape(self) -> bytes:
        from bench import floor

        # Made in Python, seconds for the largest documents: kept with the records.
        stem = f"{self.name}{'-raw-safe' if self.raw_safe else ''}-{self.limit}-tape"
        return _cached(stem, [__file__, floor.__file__], lambda: floor.tape(self.plain))
