#pragma once
// The HDLC frame check sequence (FCS-16, CRC-16/X.25): reflected polynomial 0x8408, start value
// 0xFFFF, result complemented. Frames carry it least significant byte first.
// Pure functions without state: any thread may call them.
#include <cstddef>
#include <cstdint>

// One byte step of the running value (table driven).
uint16_t fcs16_update(uint16_t fcs, uint8_t byte);

// The finished FCS of `length` bytes at `data`; 0 for an empty block. The length is a full
// count: a block longer than 255 bytes is covered whole.
uint16_t fcs16(const uint8_t* data, size_t length);
