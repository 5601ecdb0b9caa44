#include "Text.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <system_error>
#include <type_traits>

#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
void AppendUtf8(std::string& out, char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One UTF-8 sequence at `i`: its code point and length, or false for bytes that are not one
// (overlong forms, surrogates, values past U+10FFFF, a sequence cut short).
bool DecodeOne(const std::string& text, size_t i, char32_t& c, size_t& length) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int more = lead < 0x80                   ? 0
               : lead >= 0xC2 && lead < 0xE0 ? 1
               : (lead & 0xF0) == 0xE0       ? 2
               : lead >= 0xF0 && lead < 0xF5 ? 3
                                             : -1;
    if (more < 0 || i + more >= text.size()) return false;
    c = more == 0 ? lead : lead & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        c = (c << 6) | (next & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    length = static_cast<size_t>(more) + 1;
    return true;
}

void AppendWide(std::wstring& text, char32_t c) {
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
        text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        text += static_cast<wchar_t>(c);
    }
}

// Templates over the path's native string, so that only this platform's branch is compiled:
// Windows paths are wide already; POSIX paths are bytes, UTF-8 as the tree model reads them.
template <class Native>
fs::path NativePath(const std::wstring& text) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        return fs::path(text);
    } else {
        return fs::path(ToUtf8(text));
    }
}

// False for bytes that are not UTF-8, unless `lossy`, which makes each of them U+FFFD.
template <class Native>
bool NativeText(const Native& native, std::wstring& text, bool lossy) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        (void)lossy;
        text = native;
        return true;
    } else {
        text.clear();
        size_t i = 0;
        while (i < native.size()) {
            char32_t c = 0;
            size_t length = 0;
            if (!DecodeOne(native, i, c, length)) {
                if (!lossy) return false;
                c = 0xFFFD;
                length = 1;
            }
            AppendWide(text, c);
            i += length;
        }
        return true;
    }
}

std::string Hex(unsigned value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
    return text;
}

// Characters that move the cursor, recolour or reorder what a terminal shows.
bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
}  // namespace

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

fs::path PathFromText(const std::wstring& text) { return NativePath<fs::path::string_type>(text); }

bool TextFromPath(const fs::path& path, std::wstring& text) {
    return NativeText(path.native(), text, false);
}

std::wstring TextFromPathLossy(const fs::path& path) {
    std::wstring text;
    NativeText(path.native(), text, true);
    return text;
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = 0;
        size_t length = 0;
        if (!DecodeOne(text, i, c, length)) {
            out += "\\x" + Hex(static_cast<unsigned char>(text[i]), 2);
            ++i;
            continue;
        }
        if (!IsControl(c)) {
            out.append(text, i, length);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x80) {
            out += "\\x" + Hex(c, 2);
        } else {
            out += "\\u" + Hex(c, 4);
        }
        i += length;
    }
    return out;
}

std::string Show(const fs::path& path) { return Printable(Utf8(path)); }

std::string Show(const std::wstring& text) { return Printable(ToUtf8(text)); }

std::string Utf8(const fs::path& path) { return path.u8string(); }

fs::path PathFromArgument(const std::string& argument) { return fs::u8path(argument); }

std::string FormatSize(long long bytes) {
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatDuration(long long seconds) {
    const char* sign = seconds < 0 ? "-" : "";
    if (seconds < 0) seconds = -seconds;
    char text[40];
    std::snprintf(text, sizeof text, "%s%lld:%02lld:%02lld", sign, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text;
}

std::string FormatTime(long long secondsSince1970) {
    std::time_t time = static_cast<std::time_t>(secondsSince1970);
    const std::tm* local = std::localtime(&time);  // the tool formats on one thread only
    char text[32];
    if (local == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0) {
        return std::to_string(secondsSince1970);
    }
    return text;
}

std::string ErrorText(int code) {
    if (code == kInjectedError) return "injected failure";
    if (code == kChangedWhileCopied) {
        return "changed while it was copied, and again while it was copied once more";
    }
    return std::system_category().message(code);
}

std::string TaskStateText(int status) {
    switch (status) {
        case kTaskRunning:
            return "unfinished";
        case kTaskFinished:
            return "finished";
        case kTaskFinishedWithFailures:
            return "finished with failures";
    }
    return "status " + std::to_string(status);
}

}  // namespace transferdb
