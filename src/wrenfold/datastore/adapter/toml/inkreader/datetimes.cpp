// Dates, times and date-times with their offsets. Fractions of a second are cut to
// microseconds; offsets share one timezone object each.
#include "inkreader.hpp"

// After Python.h, which inkreader.hpp includes.
#include <datetime.h>

namespace wrenfold::inkreader {

namespace {

inline int two(const char* s) {
    return (s[0] - '0') * 10 + (s[1] - '0');
}

inline bool digits_at(const char* s, int n) {
    for (int i = 0; i < n; i++) {
        if (!is(s[i], cls::kDigit)) {
            return false;
        }
    }
    return true;
}

// HH with 00 to 23, or MM / SS with 00 to 59.
inline bool hour_at(const char* s) {
    return digits_at(s, 2) && two(s) <= 23;
}

inline bool sixty_at(const char* s) {
    return digits_at(s, 2) && two(s) <= 59;
}

}  // namespace

// The datetime C API is bound per translation unit: this one's is the one the parser uses.
int import_datetime() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        return -1;
    }
    bound.utc = Py_NewRef(PyDateTime_TimeZone_UTC);
    return 0;
}

// HH:MM, then :SS with an optional fraction, or no seconds (read as :00); false when `s`
// does not start with a time.
bool Parser::scan_time(const char* s, int* hour, int* minute, int* second, int* micro,
                       const char** stop) const {
    if (end_ - s < 5 || !hour_at(s) || s[2] != ':' || !sixty_at(s + 3)) {
        return false;
    }
    *hour = two(s);
    *minute = two(s + 3);
    *second = 0;
    *micro = 0;
    s += 5;
    if (end_ - s >= 3 && *s == ':' && sixty_at(s + 1)) {
        *second = two(s + 1);
        s += 3;
        if (end_ - s >= 2 && *s == '.' && is(s[1], cls::kDigit)) {
            s++;
            int scale = 100000;
            for (; s < end_ && is(*s, cls::kDigit); s++) {
                *micro += (*s - '0') * scale;
                scale /= 10;
            }
        }
    }
    *stop = s;
    return true;
}

PyObject* Parser::timezone(int sign, int hours, int minutes) {
    const int offset = sign * (hours * 60 + minutes);
    PyObject*& cached = bound.offsets[offset + 24 * 60];
    if (cached == nullptr) {
        Ref delta(PyDelta_FromDSU(0, offset * 60, 0));
        cached = delta ? PyTimeZone_FromOffset(delta.get()) : nullptr;
    }
    return cached;
}

// YYYY-MM-DD, then a time after T, t or a space: a date, or a date-time with or without an
// offset. `matched` stays false (and nothing is raised) when the text is not one.
PyObject* Parser::date_or_datetime(bool* matched) {
    const char* s = p_;
    if (end_ - s < 10 || !digits_at(s, 4) || s[4] != '-' || !digits_at(s + 5, 2) || s[7] != '-' ||
        !digits_at(s + 8, 2)) {
        return nullptr;
    }
    const int year = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + two(s + 2);
    const int month = two(s + 5);
    const int day = two(s + 8);
    if (month < 1 || month > 12 || day < 1 || day > 31) {
        return nullptr;
    }
    *matched = true;
    const char* q = s + 10;
    int hour, minute, second, micro;
    const char* stop;
    PyObject* made;
    if (q < end_ && (*q == 'T' || *q == 't' || *q == ' ') &&
        scan_time(q + 1, &hour, &minute, &second, &micro, &stop)) {
        PyObject* tz = Py_None;
        if (stop < end_ && (*stop == 'Z' || *stop == 'z')) {
            tz = bound.utc;
            stop++;
        } else if (end_ - stop >= 6 && (*stop == '+' || *stop == '-') && hour_at(stop + 1) &&
                   stop[3] == ':' && sixty_at(stop + 4)) {
            tz = timezone(*stop == '-' ? -1 : 1, two(stop + 1), two(stop + 4));
            if (tz == nullptr) {
                return nullptr;
            }
            stop += 6;
        }
        p_ = stop;
        made = PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second,
                                                       micro, tz, PyDateTimeAPI->DateTimeType);
    } else {
        p_ = q;
        made = PyDate_FromDate(year, month, day);
    }
    // 2023-02-30 and year 0 pass the pattern; the date types refuse them.
    if (made == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return error_at(s, "Invalid date or datetime");
    }
    return made;
}

PyObject* Parser::local_time(bool* matched) {
    int hour, minute, second, micro;
    const char* stop;
    if (!scan_time(p_, &hour, &minute, &second, &micro, &stop)) {
        return nullptr;
    }
    *matched = true;
    p_ = stop;
    return PyTime_FromTime(hour, minute, second, micro);
}

}  // namespace wrenfold::inkreader
