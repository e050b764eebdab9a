#include "internal/bounded_text.h"

#include <algorithm>
#include <cstdio>

namespace lndb {

namespace {

// Room for the marker with any count a size_t can hold.
constexpr std::size_t kMarkerRoom = sizeof " [... 18446744073709551615 bytes left out]" - 1;

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string boundedText(std::string_view text, std::size_t limit)
{
    return boundedText(text, limit, text.size());
}

std::string boundedText(std::string_view text, std::size_t limit, std::size_t wholeSize)
{
    wholeSize = std::max(wholeSize, text.size());
    if (wholeSize <= limit)
        return std::string(text);
    const std::size_t room = limit > kMarkerRoom ? limit - kMarkerRoom : 0;
    std::size_t kept = std::min(room, text.size());
    // Step back over at most three continuation bytes: a UTF-8 character is at
    // most four bytes, and bytes that are not UTF-8 are cut where they stand.
    // A text that ends before the room was cut by whoever gave it.
    if (kept < text.size()) {
        for (int step = 0; step < 3 && kept > 0 && isContinuationByte(text[kept]); ++step)
            --kept;
        if (kept > 0 && isContinuationByte(text[kept]))
            kept = room;
    }
    char marker[kMarkerRoom + 1];
    std::snprintf(marker, sizeof marker, " [... %zu bytes left out]", wholeSize - kept);
    std::string bounded(text.substr(0, kept));
    bounded += marker;
    return bounded;
}

}  // namespace lndb
