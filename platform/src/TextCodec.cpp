#include "TextCodec.h"

namespace TextCodec {
namespace {
constexpr bool kUtf16 = sizeof(wchar_t) == 2;
constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length

bool IsCharacter(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

size_t EncodeOne(char32_t c, char* out) {
    if (!IsCharacter(c)) c = kReplacement;
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

// The length a lead byte announces, 0 for a byte that cannot lead.
size_t SequenceLength(unsigned char lead) {
    return lead < 0x80             ? 1
           : (lead & 0xE0) == 0xC0 ? 2
           : (lead & 0xF0) == 0xE0 ? 3
           : (lead & 0xF8) == 0xF0 ? 4
                                   : 0;
}
}  // namespace

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
        written += EncodeOne(c, out + written);
    }
    return written;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out(text.size() * 4, '\0');
    out.resize(EncodeUtf8(text.data(), text.size(), &out[0]));
    return out;
}

size_t DecodeUtf8(const unsigned char* text, size_t size, size_t i, char32_t& c) {
    size_t length = SequenceLength(text[i]);
    if (length == 0 || i + length > size) return 0;
    c = length == 1 ? text[i] : text[i] & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (text[i + k] & 0x3F);
    }
    return c >= kSmallest[length] && IsCharacter(c) ? length : 0;
}

void AppendWide(std::wstring& text, char32_t c) {
    if (kUtf16 && c >= 0x10000) {
        c -= 0x10000;
        text += static_cast<wchar_t>(0xD800 + (c >> 10));
        text += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
        text += static_cast<wchar_t>(c);
    }
}

std::wstring FromUtf8(const char* text, size_t bytes, size_t maxUnits) {
    std::wstring out;
    if (text == nullptr) return out;
    out.reserve(bytes < maxUnits ? bytes : maxUnits);
    auto data = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < bytes && out.size() < maxUnits;) {
        char32_t c = kReplacement;
        size_t length = DecodeUtf8(data, bytes, i, c);
        if (length == 0) {
            // A broken sequence: its lead and the continuation bytes that follow it, up to the
            // length it announced, make one replacement.
            c = kReplacement;
            size_t announced = SequenceLength(data[i]);
            length = 1;
            while (length < announced && i + length < bytes && (data[i + length] & 0xC0) == 0x80) {
                ++length;
            }
        }
        if (kUtf16 && c >= 0x10000 && out.size() + 2 > maxUnits) break;
        AppendWide(out, c);
        i += length;
    }
    return out;
}

bool FromUtf8Strict(const std::string& text, std::wstring& out) {
    out.clear();
    auto data = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        char32_t c;
        size_t length = DecodeUtf8(data, text.size(), i, c);
        if (length == 0) {
            out.clear();
            return false;
        }
        AppendWide(out, c);
        i += length;
    }
    return true;
}

}  // namespace TextCodec
