#include "Files.h"

#include <cstdint>
#include <type_traits>

namespace transferdb {

std::filesystem::path TemporaryName(const std::filesystem::path& name) {
    // FNV-1a over the native units: the same name gives the same temporary name on every run,
    // so that the next copy of an entry finds what an interrupted one left.
    std::uint64_t hash = 14695981039346656037ull;
    for (auto unit : name.native()) {
        hash ^= static_cast<std::make_unsigned_t<decltype(unit)>>(unit);
        hash *= 1099511628211ull;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text = ".transferdb-";
    for (int shift = 60; shift >= 0; shift -= 4) text += kDigits[(hash >> shift) & 0xF];
    return std::filesystem::path(text + ".part");
}

}  // namespace transferdb
