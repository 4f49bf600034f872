"""pydantic integration and the refusal of pickling and copying."""

import copy
import pickle
import warnings

import pydantic
import pytest
from pydantic import BaseModel, TypeAdapter
from pydantic_core import PydanticSerializationError

from wrenfold.datastore.tables import ledgerbox
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.unified import UnifiedDataFormat

USERS = {"columns": [{"name": "id", "type": "INTEGER", "primary_key": True}],
         "records": [{"id": 1}, {"id": 2}]}


class Model(BaseModel):
    tables: TablesHolder


class DictModel(BaseModel):
    tables: dict[str, TableData]


class TestValidation:
    def test_from_a_dict_of_table_dicts(self):
        m = Model(tables={"users": USERS})
        assert isinstance(m.tables, TablesHolder)
        assert m.tables.get("users") == TableData.model_validate(USERS)

    def test_from_another_holder(self):
        t = TableData.model_validate(USERS)
        h = TablesHolder({"users": t, "empty": None})
        m = Model(tables=h)
        assert m.tables is not h and m.tables == h
        assert m.tables.get("users") is t

    @pytest.mark.parametrize("value", [None, [("users", USERS)], 3, "text"])
    def test_other_inputs_give_an_empty_holder(self, value):
        assert Model(tables=value).tables == TablesHolder()

    def test_invalid_table_is_a_validation_error(self):
        with pytest.raises(pydantic.ValidationError):
            Model(tables={"users": {"columns": 5}})

    def test_failing_tables_are_named_only_on_the_pydantic_path(self):
        # The dict input, through FastAPI, is in test_fastapi.py; here a holder's tables.
        held = TablesHolder()
        held.as_dict().update({"a": {"columns": 1}, "ok": {}, "b": {"records": [2]}})
        with pytest.raises(pydantic.ValidationError) as ours:
            Model(tables=held)
        assert [e["loc"] for e in ours.value.errors()] == [("tables", "a", "columns"),
                                                          ("tables", "b", "records", 0)]
        with pytest.raises(pydantic.ValidationError) as direct:
            TablesHolder().replace_dict(held)
        assert [e["loc"] for e in direct.value.errors()] == [("columns",)]

        class Strict(TablesHolder):
            def replace_dict(self, other):
                TableData.model_validate({"columns": "own reasons"})

        # The tables themselves are valid: the override's error stands as it was raised.
        with pytest.raises(pydantic.ValidationError) as raised:
            Strict._validate({"a": {}})
        assert [e["loc"] for e in raised.value.errors()] == [("columns",)]

    def test_validate_and_serialize_directly(self):
        h = TablesHolder({"a": TableData(), "b": None})
        again = TablesHolder._validate(h)
        assert again is not h and again == h and again.get("a") is h.get("a")
        assert h._serialize() is h.as_dict()

        class Sub(TablesHolder):
            pass

        assert type(Sub._validate({})) is Sub
        assert type(Sub._validate(value={"a": None})) is Sub

    def test_subclass_schema_uses_the_subclass(self):
        class Sub(TablesHolder):
            def replace_dict(self, other):
                TablesHolder.replace_dict(self, {"marker": None})

        class SubModel(BaseModel):
            tables: Sub

        m = SubModel(tables={"a": USERS})
        assert type(m.tables) is Sub and m.tables.keys() == ["marker"]

    def test_schema_hook_ignores_its_arguments(self):
        schema = TablesHolder.__get_pydantic_core_schema__(None, None)
        assert schema["type"] == "function-plain"
        assert schema["serialization"]["type"] == "function-plain"
        with pytest.raises(TypeError, match=r"^__get_pydantic_core_schema__\(\) takes exactly 2 "
                                            r"positional arguments \(1 given\)$"):
            TablesHolder.__get_pydantic_core_schema__(None)
        with pytest.raises(TypeError, match=r"^_validate\(\) takes exactly 1 positional argument \(0 given\)$"):
            TablesHolder._validate()

    def test_missing_core_schema_name(self, monkeypatch):
        monkeypatch.delattr(ledgerbox, "core_schema")
        with pytest.raises(NameError, match=r"^name 'core_schema' is not defined$"):
            TablesHolder.__get_pydantic_core_schema__(None, None)


class TestJsonSchema:
    def test_field_schema_maps_names_to_tables(self):
        schema = UnifiedDataFormat.model_json_schema()
        assert schema["properties"]["tables"] == {
            "type": "object", "additionalProperties": {"$ref": "#/$defs/TableData"}, "title": "Tables"}
        table = schema["$defs"]["TableData"]
        assert table["properties"]["columns"]["items"] == {"$ref": "#/$defs/ColumnData"}
        assert table["properties"]["records"]["type"] == "array"
        assert set(schema["$defs"]) == {"TableData", "ColumnData"}

    def test_core_schema_is_unchanged(self):
        schema = TablesHolder.__get_pydantic_core_schema__(None, None)
        assert schema["type"] == "function-plain" and "metadata" not in schema

    def test_hook_arguments(self):
        with pytest.raises(TypeError, match=r"^__get_pydantic_json_schema__\(\) takes exactly 2 "
                                            r"positional arguments \(0 given\)$"):
            TablesHolder.__get_pydantic_json_schema__()
        seen = []
        assert TablesHolder.__get_pydantic_json_schema__(None, lambda s: seen.append(s) or "js") == "js"
        assert seen[0]["type"] == "dict" and seen[0]["keys_schema"] == {"type": "str"}


class TestSerialization:
    def test_model_dump_and_json(self):
        doc = UnifiedDataFormat(version="1.0", schema_version="2", tables={"users": USERS})
        dumped = doc.model_dump()
        assert dumped["tables"]["users"]["records"] == [{"id": 1}, {"id": 2}]
        assert dumped["tables"]["users"]["columns"][0]["primary_key"] is True
        again = UnifiedDataFormat.model_validate_json(doc.model_dump_json())
        assert again == doc

    @pytest.mark.parametrize("mode", ["python", "json"])
    def test_a_stored_dict_serialises_as_a_dict_field(self, mode):
        # model_construct skips validation: the field keeps the dict it is given.
        tables = {"users": USERS, "made": TableData.model_validate(USERS)}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the dict field warns of the unconverted table
            expected = DictModel.model_construct(tables=tables).model_dump(mode=mode)
        assert Model.model_construct(tables=tables).model_dump(mode=mode) == expected
        assert TypeAdapter(TablesHolder).dump_python(tables, mode=mode) == expected["tables"]

    def test_a_stored_value_of_another_type_is_named(self):
        with pytest.raises(PydanticSerializationError,
                           match=r"TypeError: Expected TablesHolder or dict, got int"):
            Model.model_construct(tables=5).model_dump_json()

    def test_serialize_follows_an_as_dict_override(self):
        class Odd(TablesHolder):
            def as_dict(self):
                return ["not", "a", "dict"]

        with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
            Odd()._serialize()


class TestPickling:
    @pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy,
                                           lambda h: h.__reduce__(), lambda h: h.__setstate__({})])
    def test_refused(self, operation):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            operation(TablesHolder({"a": None}))
