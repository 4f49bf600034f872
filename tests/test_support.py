"""The small helpers the holder relies on, and the shapes the encoder reads from the models."""

import sys

import pytest

from idlekit import lazy
from rimecast.frozen import freeze
from wrenfold.datastore.tables.data import ColumnData, TableData
from wrenfold.datastore.unified import UnifiedDataFormat


class TestLazy:
    def test_imports_on_first_use_only(self):
        name = "json.tool"
        sys.modules.pop(name, None)
        ref = lazy(name, "main")
        assert name not in sys.modules
        assert callable(ref.__call__)
        assert ref.__name__ == "main" and name in sys.modules

    def test_missing_targets_raise_on_use(self):
        with pytest.raises(ModuleNotFoundError):
            lazy("no_such_module_here", "x").anything
        with pytest.raises(AttributeError):
            lazy("json", "no_such_name").anything
        with pytest.raises(TypeError):
            lazy(1, "x")


class TestFreeze:
    def test_equal_inputs_hash_alike(self):
        a = {"x": [1, {"y": {1, 2}}], "z": (1.0, None)}
        b = {"z": (1, None), "x": [1, {"y": {2, 1}}]}
        assert a == b and freeze(a) == freeze(b) and hash(freeze(a)) == hash(freeze(b))

    def test_different_inputs_differ(self):
        assert freeze({"x": [1]}) != freeze({"x": (1,)})
        assert freeze({"x": [1, 2]}) != freeze({"x": [2, 1]})

    def test_models(self):
        t1 = TableData.model_validate({"columns": [{"name": "a", "type": "T"}], "records": [{"a": [1]}]})
        t2 = TableData.model_validate({"columns": [{"name": "a", "type": "T"}], "records": [{"a": [1]}]})
        assert t1 == t2 and hash(freeze(t1)) == hash(freeze(t2))
        t2.records[0]["a"].append(2)
        assert freeze(t1) != freeze(t2)


def test_model_shapes():
    column = ColumnData(name="id", type="INTEGER", primary_key=True, default=0, comment="c")
    table = TableData(columns=[column], records=[{"id": 1}])
    columns, records = table.tuple_values()
    assert columns == (("id", "INTEGER", False, "c", None, 0, None, None, False, True, False),)
    assert records[0] is table.records[0]
    doc = UnifiedDataFormat(version="1", schema_version="2", tables={"t": table})
    version, schema_version, holder = doc.tuple_output
    assert (version, schema_version) == ("1", "2") and holder is doc.tables
