// The one conversion between UTF-8 and the platform's wide text: UTF-16 where wchar_t has 16 bits
// (Windows), UTF-32 elsewhere. Encoding never fails: an unpaired surrogate or a value past
// U+10FFFF is written as U+FFFD. Decoding is either strict (bytes that are not UTF-8 do not
// convert) or lenient (each broken sequence becomes one U+FFFD).
#pragma once

#include <cstddef>
#include <string>

namespace TextCodec {

constexpr char32_t kReplacement = 0xFFFD;

// Writes `length` units of wide text as UTF-8 into `out`, which holds at least 4 bytes per unit;
// returns the bytes written.
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out);
std::string ToUtf8(const std::wstring& text);

// One strict UTF-8 sequence at text[i]: its length, with its character in `c`, or 0 when the
// bytes there are not one (an overlong form, a surrogate, a value past U+10FFFF, a sequence cut
// short).
size_t DecodeUtf8(const unsigned char* text, size_t size, size_t i, char32_t& c);
// Appends a character, as a UTF-16 pair where wide text is UTF-16.
void AppendWide(std::wstring& text, char32_t c);

// Lenient: at most `maxUnits` units (a UTF-16 pair is never split at the limit).
std::wstring FromUtf8(const char* text, size_t bytes, size_t maxUnits = std::wstring::npos);
// Strict: false, with `out` emptied, when `text` is not UTF-8 throughout.
bool FromUtf8Strict(const std::string& text, std::wstring& out);

}  // namespace TextCodec
