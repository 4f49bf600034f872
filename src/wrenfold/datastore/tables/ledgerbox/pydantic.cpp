// The validation-framework hooks of TablesHolder: the core schema through which pydantic
// builds and serialises a field of this type, the JSON schema it shows for one, and the
// class method and the function that schema calls.
#include "holder.hpp"

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::ledgerbox {

using common::Params;
using common::parse_args;
using common::Ref;

WF_METHOD(py_get_pydantic_core_schema) {
    static Params params = {"__get_pydantic_core_schema__", 2, 2, {"source_type", "handler"}, {}};
    PyObject* a[2];
    if (parse_args(params, args, nargs, kwnames, a) < 0) {
        return fail(WF_QUAL "__get_pydantic_core_schema__");
    }
    PyObject* cls = obj;
    Ref schema_mod(lookup_global(names.core_schema));
    Ref validator_fn(
        schema_mod ? PyObject_GetAttr(schema_mod.get(), names.no_info_plain_validator_function)
                   : nullptr);
    Ref validate(validator_fn ? PyObject_GetAttr(cls, names._validate) : nullptr);
    Ref schema_mod2(validate ? lookup_global(names.core_schema) : nullptr);
    Ref serializer_fn(schema_mod2 ? PyObject_GetAttr(schema_mod2.get(),
                                                     names.plain_serializer_function_ser_schema)
                                  : nullptr);
    Ref serialize(serializer_fn ? PyObject_GetAttr(cls, names._serialize) : nullptr);
    Ref ser_schema;
    if (serialize) {
        PyObject* call_args[2] = {serialize.get(), Py_False};
        Ref kw(PyTuple_Pack(1, names.info_arg));
        ser_schema =
            Ref(kw ? PyObject_Vectorcall(serializer_fn.get(), call_args, 1, kw.get()) : nullptr);
    }
    Ref res;
    if (ser_schema) {
        PyObject* call_args[2] = {validate.get(), ser_schema.get()};
        Ref kw(PyTuple_Pack(1, names.serialization));
        res = Ref(kw ? PyObject_Vectorcall(validator_fn.get(), call_args, 1, kw.get()) : nullptr);
    }
    if (!res) {
        return fail(WF_QUAL "__get_pydantic_core_schema__");
    }
    return res.release();
}

// The JSON schema pydantic shows for the field: an object mapping table names to tables. The
// core schema above is a plain function, which pydantic cannot describe on its own.
WF_METHOD(py_get_pydantic_json_schema) {
    static Params params = {"__get_pydantic_json_schema__", 2, 2, {"core_schema", "handler"}, {}};
    PyObject* a[2];
    if (parse_args(params, args, nargs, kwnames, a) < 0) {
        return fail(WF_QUAL "__get_pydantic_json_schema__");
    }
    Ref schema_mod(lookup_global(names.core_schema));
    Ref table_data(schema_mod ? lookup_global(names.TableData) : nullptr);
    Ref table_schema(table_data ? PyObject_GetAttr(table_data.get(), names.pydantic_core_schema)
                                : nullptr);
    Ref keys(table_schema ? PyObject_CallMethodNoArgs(schema_mod.get(), names.str_schema)
                          : nullptr);
    Ref dict_schema;
    if (keys) {
        Ref fn(PyObject_GetAttr(schema_mod.get(), names.dict_schema));
        Ref kw(fn ? PyTuple_Pack(2, names.keys_schema, names.values_schema) : nullptr);
        PyObject* call_args[2] = {keys.get(), table_schema.get()};
        dict_schema = Ref(kw ? PyObject_Vectorcall(fn.get(), call_args, 0, kw.get()) : nullptr);
    }
    Ref res(dict_schema ? PyObject_CallOneArg(a[1], dict_schema.get()) : nullptr);
    if (!res) {
        return fail(WF_QUAL "__get_pydantic_json_schema__");
    }
    (void)obj;
    return res.release();
}

namespace {

PyObject* table_entry(PyObject*, PyObject* value) {
    return table_from(value);
}

PyMethodDef table_entry_def = {"table_entry", table_entry, METH_O, nullptr};

// A validator of a dict whose values each go through table_from, as replace_dict's do:
// pydantic reports every value that fails under its key, as for a dict[str, TableData] field.
// Made on the first failure and kept (borrowed).
PyObject* table_errors_validator(PyObject* pydantic_core) {
    static PyObject* validator;
    if (validator == nullptr) {
        Ref schemas(PyObject_GetAttrString(pydantic_core, "core_schema"));
        Ref entry(schemas ? PyCFunction_New(&table_entry_def, nullptr) : nullptr);
        Ref values(entry ? PyObject_CallMethod(schemas.get(), "no_info_plain_validator_function",
                                               "O", entry.get())
                         : nullptr);
        Ref schema(
            values ? PyObject_CallMethod(schemas.get(), "dict_schema", "OO", Py_None, values.get())
                   : nullptr);
        Ref config(schema ? Py_BuildValue("{ss}", "title", "TablesHolder") : nullptr);
        validator = config ? PyObject_CallMethod(pydantic_core, "SchemaValidator", "OO",
                                                 schema.get(), config.get())
                           : nullptr;
    }
    return validator;
}

// replace_dict stops at the first table that fails, and its ValidationError locates the fault
// inside that table only. The entries of `value` are validated again so that every failing
// table is reported under its name. Where that finds no fault (an override that failed for
// reasons of its own) or fails in another way, the first error stands.
void name_failing_tables(PyObject* value) {
    Ref error(PyErr_GetRaisedException());
    Ref pydantic_core(PyImport_ImportModule("pydantic_core"));
    Ref error_type(pydantic_core ? PyObject_GetAttrString(pydantic_core.get(), "ValidationError")
                                 : nullptr);
    Ref entries;
    if (error_type && PyErr_GivenExceptionMatches(error.get(), error_type.get())) {
        if (PyDict_Check(value)) {
            entries = Ref::borrow(value);
        } else if (PyObject_TypeCheck(value, &TablesHolder_Type)) {
            entries = Ref(PyObject_CallMethodNoArgs(value, names.as_dict));
        }
    }
    PyObject* validator = entries && PyDict_Check(entries.get())
                              ? table_errors_validator(pydantic_core.get())
                              : nullptr;
    Ref checked(validator != nullptr
                    ? PyObject_CallMethod(validator, "validate_python", "O", entries.get())
                    : nullptr);
    if (validator != nullptr && !checked && PyErr_ExceptionMatches(error_type.get())) {
        return;
    }
    PyErr_SetRaisedException(error.release());
}

}  // namespace

WF_METHOD(py_validate) {
    static Params params = {"_validate", 1, 1, {"value"}, {}};
    PyObject* a[1];
    if (parse_args(params, args, nargs, kwnames, a) < 0) {
        return fail(WF_QUAL "_validate");
    }
    Ref instance(PyObject_CallNoArgs(obj));
    Ref res(instance ? PyObject_CallMethodOneArg(instance.get(), names.replace_dict, a[0])
                     : nullptr);
    if (!res) {
        name_failing_tables(a[0]);
        return fail(WF_QUAL "_validate");
    }
    return instance.release();
}

namespace {

// pydantic's serialiser. The class attribute is a plain function of the field's value, which
// is a holder once validation ran but whatever was stored where it did not (model_construct,
// assignment without validate_assignment): a dict of tables goes on as it is, for pydantic to
// serialise as it would a dict[str, TableData] field. A holder gives its own dict, through an
// as_dict override if there is one.
PyObject* serialize_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Params params = {"_serialize", 0, 0, {}, {}};
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError,
                        "unbound method TablesHolder._serialize() needs an argument");
        return fail(WF_QUAL "_serialize");
    }
    // Bound to a holder, the holder comes first; its own arguments follow.
    if (parse_args(params, args + 1, nargs - 1, kwnames, nullptr) < 0) {
        return fail(WF_QUAL "_serialize");
    }
    PyObject* value = args[0];
    PyObject* res;
    if (PyObject_TypeCheck(value, &TablesHolder_Type)) {
        res = as_holder(value)->vtab->as_dict(as_holder(value), 0);
    } else if (PyDict_Check(value)) {
        res = Py_NewRef(value);
    } else {
        common::raise_expected("TablesHolder or dict", Py_TYPE(value)->tp_name);
        res = nullptr;
    }
    return res != nullptr ? res : fail(WF_QUAL "_serialize");
}

PyMethodDef serialize_def = {"_serialize", WF_FASTCALL(serialize_value),
                             METH_FASTCALL | METH_KEYWORDS, "TablesHolder._serialize(self)"};

}  // namespace

int add_serializer(PyObject* module) {
    Ref module_name(PyModule_GetNameObject(module));
    Ref fn(module_name ? PyCFunction_NewEx(&serialize_def, nullptr, module_name.get()) : nullptr);
    // Binds to an instance like a Python function, and is the function itself on the class.
    Ref method(fn ? PyInstanceMethod_New(fn.get()) : nullptr);
    if (!method) {
        return -1;
    }
    return PyDict_SetItem(TablesHolder_Type.tp_dict, names._serialize, method.get());
}

}  // namespace wrenfold::ledgerbox
