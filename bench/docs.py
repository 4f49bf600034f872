"""Seeded documents for the encoder benchmark, as models and as the plain dicts the peers take.

Raw mode refuses text holding a double quote, a backslash, a control character other than tab
or DEL, which 3% of the mixed records hold. Each document therefore also comes raw-safe for the
raw writers: the same seed, shape and lengths, those characters replaced.
"""

from __future__ import annotations

import random
from typing import Any

from wrenfold.datastore.tables.data import ColumnData, TableData
from wrenfold.datastore.unified import UnifiedDataFormat

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

MIXED_COLUMNS = [
    ColumnData(name="id", type="INTEGER", primary_key=True, autoincrement=True),
    ColumnData(name="name", type="TEXT", comment="display name"),
    ColumnData(name="email", type="TEXT", unique=True),
    ColumnData(name="age", type="INTEGER", nullable=True),
    ColumnData(name="balance", type="REAL", default=0.0),
    ColumnData(name="active", type="BOOLEAN", default=True),
    ColumnData(name="created_at", type="TEXT"),
    ColumnData(name="tags", type="JSON"),
    ColumnData(name="note", type="TEXT", nullable=True),
]

NUMERIC_COLUMNS = [ColumnData(name="id", type="INTEGER", primary_key=True)] + [
    ColumnData(name=name, type=kind) for name, kind in
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


def build(name: str, tables: int, records: int, kind: str = "mixed", seed: int = 20240605,
          raw_safe: bool = False) -> tuple[UnifiedDataFormat, dict[str, Any]]:
    """The document as a model for our encoder and as a plain dict (None left out) for peers;
    `raw_safe`: the variant that raw mode can write."""
    rng = random.Random(f"{seed}:{name}")
    columns = NUMERIC_COLUMNS if kind == "numeric" else MIXED_COLUMNS
    doc = UnifiedDataFormat(version="1.0", schema_version="7")
    plain_tables = {}
    next_id = 1
    for t in range(tables):
        rows = []
        for _ in range(records):
            if kind == "numeric":
                rows.append(numeric_record(rng, next_id))
            else:
                rows.append(mixed_record(rng, next_id, kind == "wide", raw_safe))
            next_id += 1
        table_name = f"table_{t:02d}"
        # model_construct: the records stay the very dicts built here, with no validation.
        doc.tables.add(table_name, TableData.model_construct(columns=columns, records=rows))
        plain_tables[table_name] = {
            "columns": [c.model_dump(exclude_defaults=True) for c in columns],
            "records": [{k: v for k, v in r.items() if v is not None} for r in rows],
        }
    plain = {"header": {"version": doc.version, "schema_version": doc.schema_version,
                        "tables": list(plain_tables)},
             "tables": plain_tables}
    return doc, plain


def non_ascii_share(plain: dict[str, Any]) -> float:
    """Share of non-ASCII characters among the record text values."""
    total = wide = 0
    for table in plain["tables"].values():
        for record in table["records"]:
            for v in record.values():
                if isinstance(v, str):
                    total += len(v)
                    wide += sum(1 for ch in v if ord(ch) > 127)
    return wide / total if total else 0.0


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
}


def build_named(name: str, raw_safe: bool = False) -> tuple[UnifiedDataFormat, dict[str, Any]]:
    tables, records, kind = DOCS[name]
    return build(name, tables, records, kind, raw_safe=raw_safe)


def first_records(doc: UnifiedDataFormat, plain: dict[str, Any],
                  limit: int) -> tuple[UnifiedDataFormat, dict[str, Any], int]:
    """The same document cut to about `limit` records, the first ones of every table."""
    names = list(plain["tables"])
    per_table = max(1, limit // len(names))
    small = UnifiedDataFormat(version=doc.version, schema_version=doc.schema_version)
    small_tables = {}
    for name in names:
        table = doc.tables.get(name)
        small.tables.add(name, TableData.model_construct(columns=table.columns,
                                                         records=table.records[:per_table]))
        small_tables[name] = {"columns": plain["tables"][name]["columns"],
                              "records": plain["tables"][name]["records"][:per_table]}
    total = sum(len(t["records"]) for t in small_tables.values())
    return small, {"header": plain["header"], "tables": small_tables}, total
