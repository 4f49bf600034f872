"""Deferred references: name a module attribute now, import it on first use."""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["lazy"]


class _Lazy:
    """Stands in for ``module_path.attr`` and imports it the first time it is used."""

    __slots__ = ("_module_path", "_attr", "_target")

    def __init__(self, module_path: str, attr: str) -> None:
        object.__setattr__(self, "_module_path", module_path)
        object.__setattr__(self, "_attr", attr)
        object.__setattr__(self, "_target", None)

    def _resolve(self) -> Any:
        target = self._target
        if target is None:
            module = importlib.import_module(self._module_path)
            target = getattr(module, self._attr)
            object.__setattr__(self, "_target", target)
        return target

    def __getattr__(self, name: str) -> Any:
        return getattr(self._resolve(), name)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._resolve()(*args, **kwargs)

    def __repr__(self) -> str:
        state = "resolved" if self._target is not None else "unresolved"
        return f"<lazy {self._module_path}.{self._attr} ({state})>"


def lazy(module_path: str, attr: str) -> Any:
    """Return a deferred reference to ``attr`` of ``module_path``.

    Nothing is imported until an attribute of the reference is read or it is called.
    """
    if not isinstance(module_path, str) or not isinstance(attr, str):
        raise TypeError("lazy() takes a module path and an attribute name, both str")
    return _Lazy(module_path, attr)
