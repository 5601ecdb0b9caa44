#include "SqliteText.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "Platform.h"

namespace SqliteText {
namespace {
constexpr bool kUtf16 = sizeof(wchar_t) == 2;
constexpr char32_t kReplacement = 0xFFFD;
// Texts up to this many characters are converted for SQLite without a heap buffer of their own.
constexpr size_t kStackUnits = 256;

// Writes `c` as UTF-8 at `out` (at most 4 bytes); returns the bytes written.
size_t EncodeUtf8(char32_t c, char* out) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// Encodes `length` units of `text` into `out`, which holds at least 4 bytes per unit (a UTF-16
// pair becomes 4 bytes, a single unit at most 3 or 4). Returns the bytes written.
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out) {
    size_t written = 0;
    for (size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (kUtf16 && c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        written += EncodeUtf8(c, out + written);
    }
    return written;
}
}  // namespace

std::string ToUtf8(const std::wstring& text) {
    std::string out(text.size() * 4, '\0');
    out.resize(EncodeUtf8(text.data(), text.size(), &out[0]));
    return out;
}

std::wstring FromUtf8(const char* text, size_t bytes, size_t maxUnits) {
    std::wstring out;
    if (text == nullptr) return out;
    out.reserve(bytes < maxUnits ? bytes : maxUnits);
    auto data = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < bytes && out.size() < maxUnits) {
        unsigned char lead = data[i];
        char32_t c = kReplacement;
        size_t length = 1;
        if (lead < 0x80) {
            c = lead;
        } else {
            size_t need = (lead & 0xE0) == 0xC0   ? 2
                          : (lead & 0xF0) == 0xE0 ? 3
                          : (lead & 0xF8) == 0xF0 ? 4
                                                  : 0;
            char32_t value = need == 2 ? (lead & 0x1F) : need == 3 ? (lead & 0x0F) : (lead & 0x07);
            size_t k = 1;
            for (; need != 0 && k < need && i + k < bytes && (data[i + k] & 0xC0) == 0x80; ++k) {
                value = (value << 6) | (data[i + k] & 0x3F);
            }
            static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (need != 0 && k == need && value >= kMin[need] && value <= 0x10FFFF &&
                !(value >= 0xD800 && value <= 0xDFFF)) {
                c = value;
            }
            length = need == 0 ? 1 : k;
        }
        i += length;
        if (kUtf16 && c >= 0x10000) {
            if (out.size() + 2 > maxUnits) break;  // a pair is never split at the limit
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
    }
    return out;
}

int Bind(sqlite3_stmt* stmt, int index, const std::wstring& text) {
    if constexpr (kUtf16) {
        return sqlite3_bind_text16(stmt, index, text.c_str(), -1, SQLITE_STATIC);
    } else {
        // Up to the first 0 character, as the UTF-16 bind with length -1 takes it. Either way
        // SQLite owns what it binds, so no path can leave it dangling.
        size_t length = std::wcslen(text.c_str());
        if (length <= kStackUnits) {
            // Nearly every name and path: encoded on the stack and copied by SQLite into the
            // connection's own small-block memory (its lookaside), cheaper than a heap buffer per
            // bind.
            char utf8[kStackUnits * 4];
            size_t bytes = EncodeUtf8(text.c_str(), length, utf8);
            return sqlite3_bind_text64(stmt, index, utf8, bytes, SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        // A longer text is encoded into a buffer that SQLite takes over and frees when the
        // parameter is rebound or the statement is finalized.
        auto* utf8 = static_cast<char*>(sqlite3_malloc64(length * 4 + 1));
        if (utf8 == nullptr) return SQLITE_NOMEM;
        size_t bytes = EncodeUtf8(text.c_str(), length, utf8);
        utf8[bytes] = '\0';
        return sqlite3_bind_text64(stmt, index, utf8, bytes, sqlite3_free, SQLITE_UTF8);
    }
}

std::wstring Column(sqlite3_stmt* stmt, int column) {
    if constexpr (kUtf16) {
        auto text = static_cast<const wchar_t*>(sqlite3_column_text16(stmt, column));
        if (text == nullptr) return std::wstring();
        return std::wstring(text, static_cast<size_t>(sqlite3_column_bytes16(stmt, column)) / 2);
    } else {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        if (text == nullptr) return std::wstring();
        return FromUtf8(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
    }
}

int CopyColumn(sqlite3_stmt* stmt, int column, wchar_t* dest, size_t units) {
    if constexpr (kUtf16) {
        auto text = static_cast<const wchar_t*>(sqlite3_column_text16(stmt, column));
        if (text == nullptr) {
            // wcsncpy_s's own result for a missing source, without its call of the CRT's
            // invalid-parameter handler, whose default may end the host's whole process.
            dest[0] = L'\0';
            return EINVAL;
        }
        return wcsncpy_s(dest, units, text, units - 1);
    } else {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        if (text == nullptr) return wcsncpy_s(dest, units, nullptr, units - 1);
        // Only what fits is decoded: a hostile 100,000-character text costs no more than 511.
        std::wstring head =
            FromUtf8(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)), units - 1);
        return wcsncpy_s(dest, units, head.c_str(), units - 1);
    }
}
}  // namespace SqliteText
