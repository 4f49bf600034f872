// Dates, times and datetimes as str() gives them for the built-in types, whatever a subclass
// does: "2024-05-01 12:30:00.250000+02:00".
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

#include <datetime.h>

#include "inkdump.hpp"

namespace wrenfold::inkdump {

using common::Ref;

namespace {

// Writes `v` as `width` digits, zero-padded; the caller has made room.
char* digits(char* out, int v, int width) {
    for (int i = width - 1; i >= 0; i--) {
        out[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return out + width;
}

// "YYYY-MM-DD", then "HH:MM:SS" and ".ffffff" when there are microseconds.
char* put_date(char* out, int year, int month, int day) {
    out = digits(out, year, 4);
    *out++ = '-';
    out = digits(out, month, 2);
    *out++ = '-';
    return digits(out, day, 2);
}

char* put_time(char* out, int hour, int minute, int second, int micro) {
    out = digits(out, hour, 2);
    *out++ = ':';
    out = digits(out, minute, 2);
    *out++ = ':';
    out = digits(out, second, 2);
    if (micro != 0) {
        *out++ = '.';
        out = digits(out, micro, 6);
    }
    return out;
}

// Room for the longest: "YYYY-MM-DD HH:MM:SS.ffffff+HH:MM".
constexpr size_t kRoom = 32;

int write_fields(Text* text, PyObject* dt, int offset_minutes, bool offset) {
    if (!text->ensure(kRoom)) {
        return no_room();
    }
    char* out = put_date(text->end(), PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt),
                         PyDateTime_GET_DAY(dt));
    *out++ = ' ';
    out = put_time(out, PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                   PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
    if (offset) {
        *out++ = offset_minutes < 0 ? '-' : '+';
        const int m = offset_minutes < 0 ? -offset_minutes : offset_minutes;
        out = digits(out, m / 60, 2);
        *out++ = ':';
        out = digits(out, m % 60, 2);
    }
    text->set_end(out);
    return 0;
}

// An offset of whole minutes as str() writes it. TOML has no seconds in an offset: such a
// datetime is written as the same instant in UTC, which compares equal to it.
int write_datetime(Writer& w, PyObject* dt) {
    if (PyDateTime_DATE_GET_TZINFO(dt) == Py_None) {
        return write_fields(w.doc, dt, 0, false);
    }
    if (common::arm_walks(w.walks) < 0) {
        return -1;
    }
    Ref offset(PyObject_CallMethodNoArgs(dt, bound.str_utcoffset));
    if (!offset) {
        return -1;
    }
    if (offset.get() == Py_None) {
        return write_fields(w.doc, dt, 0, false);
    }
    if (!PyDelta_Check(offset.get())) {
        PyErr_Format(PyExc_TypeError,
                     "tzinfo.utcoffset() must return None or timedelta, not '%.200s'",
                     Py_TYPE(offset.get())->tp_name);
        return -1;
    }
    const long long total = PyDateTime_DELTA_GET_DAYS(offset.get()) * 86400LL +
                            PyDateTime_DELTA_GET_SECONDS(offset.get());
    if (total % 60 == 0 && PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) == 0) {
        return write_fields(w.doc, dt, static_cast<int>(total / 60), true);
    }
    Ref utc(PyNumber_Subtract(dt, offset.get()));
    if (!utc) {
        return -1;
    }
    return write_fields(w.doc, utc.get(), 0, true);
}

int write_time(Writer& w, PyObject* t) {
    PyObject* tz = PyDateTime_TIME_GET_TZINFO(t);
    if (tz != Py_None) {
        if (common::arm_walks(w.walks) < 0) {
            return -1;
        }
        Ref held = Ref::borrow(tz);
        const int truth = PyObject_IsTrue(tz);
        if (truth != 0) {
            if (truth > 0) {
                PyErr_SetString(PyExc_ValueError, "TOML does not support offset times");
            }
            return -1;
        }
    }
    if (!w.doc->ensure(kRoom)) {
        return no_room();
    }
    char* out = put_time(w.doc->end(), PyDateTime_TIME_GET_HOUR(t), PyDateTime_TIME_GET_MINUTE(t),
                         PyDateTime_TIME_GET_SECOND(t), PyDateTime_TIME_GET_MICROSECOND(t));
    w.doc->set_end(out);
    return 0;
}

}  // namespace

// The datetime C API is bound per translation unit: this one is where it is used.
int import_datetime() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr ? 0 : -1;
}

int write_date_time(Writer& w, PyObject* value, bool* matched) {
    *matched = true;
    if (PyDateTime_Check(value)) {
        return write_datetime(w, value);
    }
    if (PyDate_Check(value)) {
        if (!w.doc->ensure(kRoom)) {
            return no_room();
        }
        char* out = put_date(w.doc->end(), PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                             PyDateTime_GET_DAY(value));
        w.doc->set_end(out);
        return 0;
    }
    if (PyTime_Check(value)) {
        return write_time(w, value);
    }
    *matched = false;
    return 0;
}

}  // namespace wrenfold::inkdump
