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

size_t document_buffer_size(const CUnifiedData* data) {
    // The estimate allows 2,000 bytes a record, about ten times what records take. Past
    // 32 MiB glibc serves every block with a fresh mmap, and faulting its pages in costs more
    // than the writing (55% more per record at 20,000 records); below it, freed blocks are
    // reused warm. So start under that line and grow.
    constexpr size_t kMost = size_t{31} << 20;
    const size_t estimate = estimate_buffer_size(data);
    return estimate < kMost ? estimate : kMost;
}

namespace {

Buffer* new_buffer(size_t size) {
    Buffer* buf = common::buf_new(size);
    if (buf == nullptr && (buf = common::buf_new(65536)) == nullptr) {
        PyErr_NoMemory();
    }
    return buf;
}

}  // namespace

Buffer* new_document_buffer(const CUnifiedData* data) {
    return new_buffer(document_buffer_size(data));
}

Buffer* new_encode_buffer(size_t plain_block) {
    // Small: what outgrows it moves into the str that the encode returns.
    constexpr size_t kFirst = size_t{256} << 10;
    return new_buffer(plain_block < kFirst ? plain_block : kFirst);
}

int header_to_buf(Buffer* buf, const HeaderData* header, int escape_strings) {
    const char* field = "version";
    if (write_token(buf, B_HEADER_SECTION, WF_INK "header_to_buf") < 0 ||
        write_token(buf, B_VERSION_EQ, WF_INK "header_to_buf") < 0 ||
        _escaped_quoted_value(buf, header->version, escape_strings) < 0 ||
        insert_newline(buf) < 0 ||
        write_token(buf, B_SCHEMA_VERSION_EQ, WF_INK "header_to_buf") < 0 ||
        (field = "schema_version",
         _escaped_quoted_value(buf, header->schema_version, escape_strings) < 0) ||
        insert_newline(buf) < 0 || write_token(buf, B_TABLES_EQ, WF_INK "header_to_buf") < 0 ||
        insert_open_bracket(buf) < 0) {
        goto fail;
    }
    field = "tables";
    for (Py_ssize_t k = 0; k < header->num_tables; k++) {
        if ((k > 0 && insert_comma_space(buf) < 0) ||
            _escaped_quoted_value(buf, header->table_list[k], escape_strings) < 0) {
            name_error_place(true, "header, field 'tables', table %R: ", header->table_list[k]);
            return INK_FAIL("header_to_buf");
        }
    }
    if (insert_close_bracket(buf) < 0 || insert_newline(buf) < 0) {
        goto fail;
    }
    return 0;

fail:
    name_error_place(true, "header, field '%s': ", field);
    return INK_FAIL("header_to_buf");
}

namespace {

// ", key = true" when the flag is set.
int flag_to_buf(Buffer* buf, int flag, const char* key) {
    if (flag && (insert_comma_space(buf) < 0 || char_true(buf, key) < 0)) {
        return -1;
    }
    return 0;
}

// A column's field `key` failed: names it in a refusal of raw text; -1.
int column_field_failed(const char* key) {
    name_error_place(false, "field '%s': ", key);
    return -1;
}

// key = "text", its failure named.
int field_to_buf(Buffer* buf, const char* key, PyObject* value, int escape_strings) {
    return char_to_str(buf, key, value, escape_strings) < 0 ? column_field_failed(key) : 0;
}

// ", key = \"text\"" when the field is not None.
int text_to_buf(Buffer* buf, PyObject* value, const char* key, int escape_strings) {
    if (value != Py_None &&
        (insert_comma_space(buf) < 0 || field_to_buf(buf, key, value, escape_strings) < 0)) {
        return -1;
    }
    return 0;
}

int default_to_buf(Buffer* buf, PyObject* value, int escape_strings) {
    if (value == Py_None) {
        return 0;
    }
    if (insert_comma_space(buf) < 0) {
        return -1;
    }
    if (!common::buf_write(buf, B_DEFAULT, INK_LEN(DEFAULT))) {
        set_no_room_error();
        return -1;
    }
    if (insert_equals(buf) < 0) {
        return -1;
    }
    return _value_to_buf(buf, value, escape_strings) < 0 ? column_field_failed(B_DEFAULT) : 0;
}

}  // namespace

int _column_to_buf(Buffer* buf, const ColumnsData* col, int escape_strings) {
    if (insert_open_brace(buf) < 0 || insert_space(buf) < 0 ||
        field_to_buf(buf, B_NAME, col->name, escape_strings) < 0) {
        return INK_FAIL("_column_to_buf");
    }
    if (col->type != nullptr &&
        (insert_comma_space(buf) < 0 || field_to_buf(buf, B_TYPE, col->type, escape_strings) < 0)) {
        return INK_FAIL("_column_to_buf");
    }
    if (flag_to_buf(buf, col->nullable, B_NULLABLE) < 0 ||
        flag_to_buf(buf, col->primary_key, B_PRIMARY_KEY) < 0 ||
        text_to_buf(buf, col->foreign_key, B_FOREIGN_KEY, escape_strings) < 0 ||
        flag_to_buf(buf, col->unique, B_UNIQUE) < 0 ||
        flag_to_buf(buf, col->autoincrement, B_AUTOINCREMENT) < 0 ||
        default_to_buf(buf, col->default_, escape_strings) < 0 ||
        text_to_buf(buf, col->comment, B_COMMENT, escape_strings) < 0 || insert_space(buf) < 0 ||
        insert_close_brace(buf) < 0) {
        return INK_FAIL("_column_to_buf");
    }
    return 0;
}

int _table_to_buf(Buffer* buf, const CTableData* table, int escape_strings) {
    if (write_token(buf, B_TABLES_DOT, WF_INK "_table_to_buf") < 0) {
        goto fail;
    }
    if (_key_to_buf(buf, table->name, escape_strings) < 0) {
        name_error_place(true, "table name %R: ", table->name);
        goto fail;
    }
    if (insert_close_bracket(buf) < 0 || insert_newline(buf) < 0 ||
        write_token(buf, B_COLUMNS_EQ, WF_INK "_table_to_buf") < 0 ||
        insert_open_bracket(buf) < 0 || insert_newline(buf) < 0) {
        goto fail;
    }
    for (Py_ssize_t i = 0; i < table->num_columns; i++) {
        if (insert_indent(buf) < 0 || _column_to_buf(buf, &table->columns[i], escape_strings) < 0 ||
            insert_b_comma(buf) < 0 || insert_newline(buf) < 0) {
            name_error_place(true, "table %R, column %zd, ", table->name, i);
            goto fail;
        }
    }
    if (insert_close_bracket(buf) < 0 || insert_newline(buf) < 0 ||
        write_token(buf, B_RECORDS_EQ, WF_INK "_table_to_buf") < 0 ||
        insert_open_bracket(buf) < 0 || insert_newline(buf) < 0) {
        goto fail;
    }
    if (records_to_buf(buf, table, escape_strings) < 0) {
        goto fail;
    }
    if (insert_close_bracket(buf) < 0 || insert_newline(buf) < 0) {
        goto fail;
    }
    return 0;

fail:
    return INK_FAIL("_table_to_buf");
}

int _encode_to_buffer(const CUnifiedData* data, Buffer* buf, int escape_strings) {
    if (header_to_buf(buf, &data->header, escape_strings) < 0) {
        goto fail;
    }
    for (Py_ssize_t i = 0; i < data->num_tables; i++) {
        if (insert_newline(buf) < 0 || _table_to_buf(buf, &data->tables[i], escape_strings) < 0) {
            goto fail;
        }
    }
    return 0;

fail:
    return INK_FAIL("_encode_to_buffer");
}

}  // namespace wrenfold::inkwright
