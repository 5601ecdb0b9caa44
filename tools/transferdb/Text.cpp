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

template <class Native>
bool NativeText(const Native& native, std::wstring& text) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        text = native;
        return true;
    } else {
        text.clear();
        size_t i = 0;
        while (i < native.size()) {
            unsigned char lead = static_cast<unsigned char>(native[i]);
            int more = lead < 0x80                   ? 0
                       : lead >= 0xC2 && lead < 0xE0 ? 1
                       : (lead & 0xF0) == 0xE0       ? 2
                       : lead >= 0xF0 && lead < 0xF5 ? 3
                                                     : -1;
            if (more < 0 || i + more >= native.size()) return false;
            char32_t c = more == 0 ? lead : lead & (0x3F >> more);
            for (int k = 1; k <= more; ++k) {
                unsigned char next = static_cast<unsigned char>(native[i + k]);
                if ((next & 0xC0) != 0x80) return false;
                c = (c << 6) | (next & 0x3F);
            }
            static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
            if (c < kLeast[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
            if (sizeof(wchar_t) == 2 && c >= 0x10000) {
                text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
                text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                text += static_cast<wchar_t>(c);
            }
            i += more + 1;
        }
        return true;
    }
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
    return NativeText(path.native(), text);
}

std::string Show(const fs::path& path) { return path.u8string(); }

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
