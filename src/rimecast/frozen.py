"""Recursive freezing of containers and pydantic models into hashable values."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel

__all__ = ["freeze"]


def freeze(obj: Any) -> Any:
    """Return a hashable value standing for ``obj``.

    Dicts become frozensets of frozen items (order does not matter, as for dict equality),
    lists and tuples become tuples tagged with their kind, sets become frozensets, and
    pydantic models become their class with their frozen fields. Equal inputs give equal
    values, so equal inputs hash alike. Anything else is returned as it is and must be
    hashable itself.
    """
    if isinstance(obj, dict):
        return frozenset((key, freeze(value)) for key, value in obj.items())
    if isinstance(obj, list):
        return ("list", tuple(freeze(item) for item in obj))
    if isinstance(obj, tuple):
        return ("tuple", tuple(freeze(item) for item in obj))
    if isinstance(obj, (set, frozenset)):
        return frozenset(freeze(item) for item in obj)
    if isinstance(obj, BaseModel):
        fields = {name: getattr(obj, name) for name in type(obj).model_fields}
        return (type(obj), freeze(fields))
    return obj
