"""The holder and the encoder inside a small FastAPI app, driven through FastAPI's TestClient."""

import re
from pathlib import Path

import pytest
from fastapi import Body, FastAPI
from fastapi.testclient import TestClient

from wrenfold.datastore.adapter.toml import decode_unified_data
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.unified import UnifiedDataFormat

DOC = {"version": "1.0", "schema_version": "2", "tables": {
    "users": {"columns": [{"name": "id", "type": "INTEGER", "primary_key": True},
                          {"name": "name", "type": "TEXT"}],
              "records": [{"id": 1, "name": "Ada"}, {"id": 2, "name": 'Bo "the quiet"'}]},
    "empty table": {}}}

app = FastAPI()


@app.post("/documents", response_model=UnifiedDataFormat)
def echo(doc: UnifiedDataFormat) -> UnifiedDataFormat:
    return doc


@app.get("/constructed", response_model=UnifiedDataFormat)
def constructed() -> UnifiedDataFormat:
    # Not validated: the field holds the plain dict.
    return UnifiedDataFormat.model_construct(version="1.0", schema_version="2",
                                             tables=DOC["tables"])


@app.post("/tables")
def count_tables(tables: TablesHolder = Body()) -> int:
    return len(tables)


@app.post("/toml")
def save(doc: UnifiedDataFormat) -> str:
    return encode_unified_data(doc, escape_strings=True)


client = TestClient(app)


def test_request_body_response_model_and_toml_round_trip():
    expected = UnifiedDataFormat.model_validate(DOC)
    reply = client.post("/documents", json=DOC)
    assert reply.status_code == 200
    assert UnifiedDataFormat.model_validate(reply.json()) == expected
    assert client.post("/tables", json=DOC["tables"]).json() == 2
    assert decode_unified_data(client.post("/toml", json=DOC).json()) == expected


def test_a_constructed_document_is_served():
    reply = client.get("/constructed")
    assert reply.status_code == 200
    assert UnifiedDataFormat.model_validate(reply.json()) == UnifiedDataFormat.model_validate(DOC)


@pytest.mark.parametrize(("path", "body", "prefix"), [
    ("/documents", lambda tables: {**DOC, "tables": tables}, ["body", "tables"]),
    ("/tables", lambda tables: tables, ["body"]),
])
def test_unprocessable_tables_are_named(path, body, prefix):
    reply = client.post(path, json=body({"a": {"columns": 1}, "ok": {}, "b": {"records": 2}}))
    assert reply.status_code == 422
    assert [e["loc"] for e in reply.json()["detail"]] == [prefix + ["a", "columns"],
                                                          prefix + ["b", "records"]]


def test_an_encode_error_names_its_place():
    # JSON may escape a lone surrogate, which FastAPI takes and no UTF-8 text can hold.
    body = b'{"version": "1", "schema_version": "1", "tables": {"users": {"records": [{"id": 1, ' \
           b'"name": "\\ud800"}]}}}'
    with pytest.raises(UnicodeEncodeError) as info:
        client.post("/toml", content=body, headers={"content-type": "application/json"})
    assert info.value.__notes__ == ["when encoding table 'users', record 0, field 'name'"]


def test_openapi_describes_the_tables():
    schema = app.openapi()
    tables = schema["components"]["schemas"]["UnifiedDataFormat"]["properties"]["tables"]
    assert tables["additionalProperties"] == {"$ref": "#/components/schemas/TableData"}
    # Body() makes a bare holder the request body, not a query parameter.
    operation = schema["paths"]["/tables"]["post"]
    assert "parameters" not in operation
    assert operation["requestBody"]["content"]["application/json"]["schema"]["type"] == "object"


def test_readme_fastapi_examples():
    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python fastapi\n(.*?)```", readme, re.S)
    namespace: dict = {"TablesHolder": TablesHolder}
    for block in blocks:
        exec(block, namespace)
    readme_client = TestClient(namespace["app"])
    assert readme_client.post("/tables", json=DOC["tables"]).json() == 2
    assert readme_client.post("/merge").json() == 0
