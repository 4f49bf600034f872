"""A small built-in document: what the command line saves when it is given no input."""

from __future__ import annotations

from typing import Any

EXAMPLE: dict[str, Any] = {
    "version": "1.0",
    "schema_version": "3",
    "tables": {
        "users": {
            "columns": [
                {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
                {"name": "name", "type": "TEXT", "comment": "display name"},
                {"name": "email", "type": "TEXT", "unique": True, "nullable": True},
                {"name": "active", "type": "BOOLEAN", "default": True},
            ],
            "records": [
                {"id": 1, "name": "Ada", "email": "ada@example.org", "active": True},
                {"id": 2, "name": "Zoë Ångström", "email": None, "active": False},
                {"id": 3, "name": "Grace", "email": "grace@example.org", "active": True},
            ],
        },
        "orders": {
            "columns": [
                {"name": "id", "type": "INTEGER", "primary_key": True},
                {"name": "user_id", "type": "INTEGER", "foreign_key": "users.id"},
                {"name": "total", "type": "REAL", "default": 0.0},
                {"name": "items", "type": "JSON"},
            ],
            "records": [
                {"id": 10, "user_id": 1, "total": 12.5, "items": ["tea", "scones"]},
                {"id": 11, "user_id": 3, "total": 1e-05,
                 "items": [{"sku": "A-1", "qty": 2}, {"sku": "B-7", "qty": 1}]},
            ],
        },
    },
}
