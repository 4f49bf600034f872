// The TOML document: a [header] section, then one [tables.<name>] section per table with
// multi-line arrays of columns and records, one inline table per line.
#include "inkwright.hpp"

namespace wrenfold::inkwright {

size_t count_records(const CUnifiedData* data) {
    size_t records = 0;
    for (Py_ssize_t i = 0; i < data->num_tables; i++) {
        records += static_cast<size_t>(data->tables[i].num_records);
    }
    return records;
}

size_t estimate_buffer_size(const CUnifiedData* data) {
    size_t estimate =
        4096 + 500 * static_cast<size_t>(data->num_tables) + 2000 * count_records(data);
    return estimate < 65536 ? 65536 : estimate;
}

int header_to_buf(Output* out, const HeaderData* header, int escape_strings) {
    const char* field = "version";
    if (write_token(out, B_HEADER_SECTION, WF_INK "header_to_buf") < 0 ||
        write_token(out, B_VERSION_EQ, WF_INK "header_to_buf") < 0 ||
        _escaped_quoted_value(out, header->version, escape_strings) < 0 ||
        insert_newline(out) < 0 ||
        write_token(out, B_SCHEMA_VERSION_EQ, WF_INK "header_to_buf") < 0 ||
        (field = "schema_version",
         _escaped_quoted_value(out, header->schema_version, escape_strings) < 0) ||
        insert_newline(out) < 0 || write_token(out, B_TABLES_EQ, WF_INK "header_to_buf") < 0 ||
        insert_open_bracket(out) < 0) {
        goto fail;
    }
    field = "tables";
    for (Py_ssize_t k = 0; k < header->num_tables; k++) {
        if ((k > 0 && insert_comma_space(out) < 0) ||
            _escaped_quoted_value(out, header->table_list[k], escape_strings) < 0) {
            out->name_place(Output::Place::kWhole,
                            "header, field 'tables', table %R: ", header->table_list[k]);
            return INK_FAIL("header_to_buf");
        }
    }
    if (insert_close_bracket(out) < 0 || insert_newline(out) < 0) {
        goto fail;
    }
    return 0;

fail:
    out->name_place(Output::Place::kWhole, "header, field '%s': ", field);
    return INK_FAIL("header_to_buf");
}

namespace {

// ", key = true" when the flag is set.
int flag_to_buf(Output* out, int flag, const char* key) {
    if (flag && (insert_comma_space(out) < 0 || char_true(out, key) < 0)) {
        return -1;
    }
    return 0;
}

// A column's field `key` failed: names it as the error's place; -1.
int column_field_failed(Output* out, const char* key) {
    out->name_place(Output::Place::kPart, "field '%s': ", key);
    return -1;
}

// key = "text", its failure named.
int field_to_buf(Output* out, const char* key, PyObject* value, int escape_strings) {
    return char_to_str(out, key, value, escape_strings) < 0 ? column_field_failed(out, key) : 0;
}

// ", key = \"text\"" when the field is not None.
int text_to_buf(Output* out, PyObject* value, const char* key, int escape_strings) {
    if (value != Py_None &&
        (insert_comma_space(out) < 0 || field_to_buf(out, key, value, escape_strings) < 0)) {
        return -1;
    }
    return 0;
}

int default_to_buf(Output* out, PyObject* value, int escape_strings) {
    if (value == Py_None) {
        return 0;
    }
    if (insert_comma_space(out) < 0) {
        return -1;
    }
    if (out->put(B_DEFAULT, INK_LEN(DEFAULT)) < 0) {
        return -1;
    }
    if (insert_equals(out) < 0) {
        return -1;
    }
    return _value_to_buf(out, value, escape_strings) < 0 ? column_field_failed(out, B_DEFAULT) : 0;
}

}  // namespace

int _column_to_buf(Output* out, const ColumnsData* col, int escape_strings) {
    if (insert_open_brace(out) < 0 || insert_space(out) < 0 ||
        field_to_buf(out, B_NAME, col->name, escape_strings) < 0) {
        return INK_FAIL("_column_to_buf");
    }
    if (col->type != nullptr &&
        (insert_comma_space(out) < 0 || field_to_buf(out, B_TYPE, col->type, escape_strings) < 0)) {
        return INK_FAIL("_column_to_buf");
    }
    if (flag_to_buf(out, col->nullable, B_NULLABLE) < 0 ||
        flag_to_buf(out, col->primary_key, B_PRIMARY_KEY) < 0 ||
        text_to_buf(out, col->foreign_key, B_FOREIGN_KEY, escape_strings) < 0 ||
        flag_to_buf(out, col->unique, B_UNIQUE) < 0 ||
        flag_to_buf(out, col->autoincrement, B_AUTOINCREMENT) < 0 ||
        default_to_buf(out, col->default_, escape_strings) < 0 ||
        text_to_buf(out, col->comment, B_COMMENT, escape_strings) < 0 || insert_space(out) < 0 ||
        insert_close_brace(out) < 0) {
        return INK_FAIL("_column_to_buf");
    }
    return 0;
}

int _table_to_buf(Output* out, const CTableData* table, int escape_strings) {
    if (write_token(out, B_TABLES_DOT, WF_INK "_table_to_buf") < 0) {
        goto fail;
    }
    if (_key_to_buf(out, table->name, escape_strings) < 0) {
        out->name_place(Output::Place::kWhole, "table name %R: ", table->name);
        goto fail;
    }
    if (insert_close_bracket(out) < 0 || insert_newline(out) < 0 ||
        write_token(out, B_COLUMNS_EQ, WF_INK "_table_to_buf") < 0 ||
        insert_open_bracket(out) < 0 || insert_newline(out) < 0) {
        goto fail;
    }
    for (Py_ssize_t i = 0; i < table->num_columns; i++) {
        if (insert_indent(out) < 0 || _column_to_buf(out, &table->columns[i], escape_strings) < 0 ||
            insert_b_comma(out) < 0 || insert_newline(out) < 0) {
            out->name_place(Output::Place::kWhole, "table %R, column %zd, ", table->name, i);
            goto fail;
        }
    }
    if (insert_close_bracket(out) < 0 || insert_newline(out) < 0 ||
        write_token(out, B_RECORDS_EQ, WF_INK "_table_to_buf") < 0 ||
        insert_open_bracket(out) < 0 || insert_newline(out) < 0) {
        goto fail;
    }
    if (records_to_buf(out, table, escape_strings) < 0) {
        goto fail;
    }
    if (insert_close_bracket(out) < 0 || insert_newline(out) < 0) {
        goto fail;
    }
    return 0;

fail:
    return INK_FAIL("_table_to_buf");
}

int _encode_to_buffer(const CUnifiedData* data, Output* out, int escape_strings) {
    if (header_to_buf(out, &data->header, escape_strings) < 0) {
        goto fail;
    }
    for (Py_ssize_t i = 0; i < data->num_tables; i++) {
        if (insert_newline(out) < 0 || _table_to_buf(out, &data->tables[i], escape_strings) < 0) {
            goto fail;
        }
    }
    return 0;

fail:
    return INK_FAIL("_encode_to_buffer");
}

}  // namespace wrenfold::inkwright
