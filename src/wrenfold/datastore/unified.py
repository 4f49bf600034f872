"""The unified data format: one document holding a database's tables."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field

from wrenfold.datastore.tables.ledgerbox import TablesHolder

__all__ = ["UnifiedDataFormat"]


class UnifiedDataFormat(BaseModel):
    """A whole database: version texts and the named tables."""

    version: str
    schema_version: str
    tables: TablesHolder = Field(default_factory=TablesHolder)

    # The encoder reads these fields itself while this property is the class's own
    # (c_unified_data/own_models.hpp): keep the two in step.
    @property
    def tuple_output(self) -> tuple[str, str, Any]:
        """``(version, schema_version, tables)``, the shape the native encoder reads."""
        return (self.version, self.schema_version, self.tables)
