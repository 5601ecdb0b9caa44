#include "Text.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <system_error>
#include <type_traits>

#include "TextCodec.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
// Templates over the path's native string, so that only this platform's branch is compiled:
// Windows paths are wide already; POSIX paths are bytes, UTF-8 as the tree model reads them.
template <class Native>
fs::path NativePath(const std::wstring& text) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        return fs::path(text);
    } else {
        return fs::path(TextCodec::ToUtf8(text));
    }
}

// False for bytes that are not UTF-8, unless `lossy`, which makes each broken sequence U+FFFD.
template <class Native>
bool NativeText(const Native& native, std::wstring& text, bool lossy) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        (void)lossy;
        text = native;
        return true;
    } else {
        if (!lossy) return TextCodec::FromUtf8Strict(native, text);
        text = TextCodec::FromUtf8(native.data(), native.size());
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

std::string Utf8(const std::wstring& text) { return TextCodec::ToUtf8(text); }

std::string Utf8(const fs::path& path) { return path.u8string(); }

fs::path PathFromText(const std::wstring& text) { return NativePath<fs::path::string_type>(text); }

bool TextFromPath(const fs::path& path, std::wstring& text) {
    return NativeText(path.native(), text, false);
}

std::wstring TextFromPathLossy(const fs::path& path) {
    std::wstring text;
    NativeText(path.native(), text, true);
    return text;
}

std::string Printable(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    for (size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        const size_t length = TextCodec::DecodeUtf8(bytes, utf8.size(), i, c);
        if (length == 0) {
            out += "\\x" + Hex(bytes[i], 2);
            ++i;
            continue;
        }
        if (!IsControl(c)) {
            out.append(utf8, i, length);
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

std::string Printable(const std::wstring& text) { return Printable(Utf8(text)); }

std::string Printable(const fs::path& path) { return Printable(Utf8(path)); }

fs::path PathFromArgument(const std::string& argument) { return fs::u8path(argument); }

std::string Grouped(long long number) {
    std::string digits = std::to_string(number < 0 ? -number : number);
    for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return (number < 0 ? "-" : "") + digits;
}

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
    if (code == kDiffersFromSource) return "its copy differs from it (found by verify)";
    if (code == kMissingFromTarget) return "its copy is missing (found by verify)";
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
