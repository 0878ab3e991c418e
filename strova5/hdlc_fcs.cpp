#include "hdlc_fcs.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> make_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int bit = 0; bit < 8; ++bit)
            v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
        t[i] = uint16_t(v);
    }
    return t;
}

constexpr std::array<uint16_t, 256> k_table = make_table();
static_assert(k_table[1] == 0x1189 && k_table[128] == 0x8408 && k_table[255] == 0x0F78,
              "FCS-16 table of the reflected polynomial");

} // namespace

uint16_t fcs16_update(uint16_t fcs, uint8_t byte)
{
    return uint16_t((fcs >> 8) ^ k_table[(fcs ^ byte) & 0xFF]);
}

uint16_t fcs16(const uint8_t* data, size_t length)
{
    if (length == 0) return 0;
    uint16_t fcs = 0xFFFF;
    for (size_t i = 0; i < length; ++i)
        fcs = fcs16_update(fcs, data[i]);
    return uint16_t(fcs ^ 0xFFFF);
}
