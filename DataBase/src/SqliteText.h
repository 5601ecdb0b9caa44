// The one place where wide strings cross into SQLite and back. Where wchar_t is UTF-16 the
// caller's text is bound in place with sqlite3_bind_text16, without a copy; where it is 32 bits
// it is converted to UTF-8 for SQLite. Either way the stored text is the same.
#pragma once

#include <cstddef>
#include <string>

struct sqlite3_stmt;

namespace SqliteText {
// Binds `text` to parameter `index`. The caller's string must stay unchanged until the
// statement is reset or finalized. Returns SQLite's result code.
int Bind(sqlite3_stmt* stmt, int index, const std::wstring& text);

// The text of a result column; SQL NULL reads as the empty string.
std::wstring Column(sqlite3_stmt* stmt, int column);

// Copies a result column into a fixed field of `units` wchar_t with wcsncpy_s semantics:
// at most units - 1 of them, always terminated. Returns the copy's error number: 0, or 22
// (the field left empty) when the column is SQL NULL.
int CopyColumn(sqlite3_stmt* stmt, int column, wchar_t* dest, size_t units);
}  // namespace SqliteText
