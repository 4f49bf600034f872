// The 31 output tokens: every fixed fragment of the TOML text. Other native modules find
// them through `__pyx_capi__` (capsules named "char const *" holding each variable's address).
#include "inkwright.hpp"

#include <wrenfold/_cpp/common/module.hpp>

namespace wrenfold::inkwright {

// Null until assign_tokens(); the capsules are published first and hold the addresses.
char const* B_AUTOINCREMENT = nullptr;
char const* B_CLOSE_BRACE = nullptr;
char const* B_CLOSE_BRACKET = nullptr;
char const* B_COLUMNS_EQ = nullptr;
char const* B_COMMA = nullptr;
char const* B_COMMA_SPACE = nullptr;
char const* B_COMMENT = nullptr;
char const* B_COUNT_EQ = nullptr;
char const* B_DEFAULT = nullptr;
char const* B_EQUALS = nullptr;
char const* B_FALSE = nullptr;
char const* B_FOREIGN_KEY = nullptr;
char const* B_HEADER_SECTION = nullptr;
char const* B_INDENT = nullptr;
char const* B_NAME = nullptr;
char const* B_NEWLINE = nullptr;
char const* B_NULL = nullptr;
char const* B_NULLABLE = nullptr;
char const* B_OPEN_BRACE = nullptr;
char const* B_OPEN_BRACKET = nullptr;
char const* B_PRIMARY_KEY = nullptr;
char const* B_QUOTE = nullptr;
char const* B_RECORDS_EQ = nullptr;
char const* B_SCHEMA_VERSION_EQ = nullptr;
char const* B_SPACE = nullptr;
char const* B_TABLES_DOT = nullptr;
char const* B_TABLES_EQ = nullptr;
char const* B_TRUE = nullptr;
char const* B_TYPE = nullptr;
char const* B_UNIQUE = nullptr;
char const* B_VERSION_EQ = nullptr;

namespace {

struct Token {
    const char* name;
    char const** variable;
    char const* text;
};

// Ascending order of name: the order of the capsules in __pyx_capi__.
const Token kTokens[] = {
    {"B_AUTOINCREMENT", &B_AUTOINCREMENT, "autoincrement"},
    {"B_CLOSE_BRACE", &B_CLOSE_BRACE, text::CLOSE_BRACE},
    {"B_CLOSE_BRACKET", &B_CLOSE_BRACKET, text::CLOSE_BRACKET},
    {"B_COLUMNS_EQ", &B_COLUMNS_EQ, "columns = "},
    {"B_COMMA", &B_COMMA, text::COMMA},
    {"B_COMMA_SPACE", &B_COMMA_SPACE, text::COMMA_SPACE},
    {"B_COMMENT", &B_COMMENT, "comment"},
    {"B_COUNT_EQ", &B_COUNT_EQ, "count = "},
    {"B_DEFAULT", &B_DEFAULT, text::DEFAULT},
    {"B_EQUALS", &B_EQUALS, text::EQUALS},
    {"B_FALSE", &B_FALSE, text::FALSE_},
    {"B_FOREIGN_KEY", &B_FOREIGN_KEY, "foreign_key"},
    {"B_HEADER_SECTION", &B_HEADER_SECTION, "[header]\n"},
    {"B_INDENT", &B_INDENT, text::INDENT},
    {"B_NAME", &B_NAME, "name"},
    {"B_NEWLINE", &B_NEWLINE, text::NEWLINE},
    {"B_NULL", &B_NULL, text::NULL_},
    {"B_NULLABLE", &B_NULLABLE, "nullable"},
    {"B_OPEN_BRACE", &B_OPEN_BRACE, text::OPEN_BRACE},
    {"B_OPEN_BRACKET", &B_OPEN_BRACKET, text::OPEN_BRACKET},
    {"B_PRIMARY_KEY", &B_PRIMARY_KEY, "primary_key"},
    {"B_QUOTE", &B_QUOTE, text::QUOTE},
    {"B_RECORDS_EQ", &B_RECORDS_EQ, "records = "},
    {"B_SCHEMA_VERSION_EQ", &B_SCHEMA_VERSION_EQ, "schema_version = "},
    {"B_SPACE", &B_SPACE, text::SPACE},
    {"B_TABLES_DOT", &B_TABLES_DOT, "[tables."},
    {"B_TABLES_EQ", &B_TABLES_EQ, "tables = "},
    {"B_TRUE", &B_TRUE, text::TRUE_},
    {"B_TYPE", &B_TYPE, "type"},
    {"B_UNIQUE", &B_UNIQUE, "unique"},
    {"B_VERSION_EQ", &B_VERSION_EQ, "version = "},
};

static_assert(sizeof(kTokens) / sizeof(kTokens[0]) == 31);

}  // namespace

int publish_tokens(PyObject* module) {
    for (const Token& t : kTokens) {
        if (common::export_variable(module, t.name, t.variable, "char const *") < 0) {
            return -1;
        }
    }
    return 0;
}

void assign_tokens() {
    for (const Token& t : kTokens) {
        *t.variable = t.text;
    }
}

}  // namespace wrenfold::inkwright
