// Reads one number per line from stdin and writes the native text of each, for the pytest
// that compares them with the interpreter's str(). "d<16 hex digits>" is a double given by its
// bits (so every NaN payload and subnormal arrives intact); "i<decimal>" is an int64;
// "p<decimal>" asks for the 128 leading bits of that power of ten, in hex.
#include <wrenfold/_cpp/common/number_format.hpp>
#include <wrenfold/_cpp/common/pow10_128.hpp>

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
    std::fprintf(stderr, "format_numbers: %s: %s\n", what, line.c_str());
    std::exit(2);
}

}  // namespace

int main() {
    std::string input;
    char chunk[1 << 16];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
        input.append(chunk, n);
    }

    std::vector<char> out;
    out.reserve(input.size() * 2);
    char text[64];
    std::size_t pos = 0;
    while (pos < input.size()) {
        std::size_t eol = input.find('\n', pos);
        if (eol == std::string::npos) {
            eol = input.size();
        }
        const char* first = input.data() + pos + 1;
        const char* last = input.data() + eol;
        const char kind = input[pos];
        char* end;
        int limit;
        if (kind == 'd') {
            uint64_t bits = 0;
            auto r = std::from_chars(first, last, bits, 16);
            if (r.ec != std::errc() || r.ptr != last || last - first != 16) {
                fail("bad double bits", input.substr(pos, eol - pos));
            }
            end = wrenfold::common::format_double_repr(std::bit_cast<double>(bits), text);
            limit = wrenfold::common::kMaxDoubleReprChars;
        } else if (kind == 'i') {
            int64_t v = 0;
            auto r = std::from_chars(first, last, v);
            if (r.ec != std::errc() || r.ptr != last) {
                fail("bad int64", input.substr(pos, eol - pos));
            }
            end = wrenfold::common::format_int64(v, text);
            limit = wrenfold::common::kMaxInt64Chars;
        } else if (kind == 'p') {
            int p = 0;
            auto r = std::from_chars(first, last, p);
            if (r.ec != std::errc() || r.ptr != last || p < wrenfold::common::kPow10Min ||
                p > wrenfold::common::kPow10Max) {
                fail("bad power", input.substr(pos, eol - pos));
            }
            const wrenfold::common::Pow10Bits& b = wrenfold::common::pow10_bits(p);
            end = text + std::snprintf(text, sizeof text, "%016llx%016llx",
                                       static_cast<unsigned long long>(b.hi),
                                       static_cast<unsigned long long>(b.lo));
            limit = 32;
        } else {
            fail("unknown kind", input.substr(pos, eol - pos));
        }
        // The documented buffer sizes are a promise to the encoder; a longer text breaks it.
        if (end - text > limit) {
            fail("text longer than the documented buffer size", std::string(text, end));
        }
        out.insert(out.end(), text, end);
        out.push_back('\n');
        pos = eol + 1;
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        return 1;
    }
    return 0;
}
