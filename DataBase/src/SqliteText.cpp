#include "SqliteText.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "Platform.h"
#include "TextCodec.h"

namespace SqliteText {
namespace {
constexpr bool kUtf16 = sizeof(wchar_t) == 2;
// Texts up to this many characters are converted for SQLite without a heap buffer of their own.
constexpr size_t kStackUnits = 256;
}  // namespace

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
            size_t bytes = TextCodec::EncodeUtf8(text.c_str(), length, utf8);
            return sqlite3_bind_text64(stmt, index, utf8, bytes, SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        // A longer text is encoded into a buffer that SQLite takes over and frees when the
        // parameter is rebound or the statement is finalized.
        auto* utf8 = static_cast<char*>(sqlite3_malloc64(length * 4 + 1));
        if (utf8 == nullptr) return SQLITE_NOMEM;
        size_t bytes = TextCodec::EncodeUtf8(text.c_str(), length, utf8);
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
        return TextCodec::FromUtf8(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
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
        std::wstring head = TextCodec::FromUtf8(
            text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)), units - 1);
        return wcsncpy_s(dest, units, head.c_str(), units - 1);
    }
}
}  // namespace SqliteText
