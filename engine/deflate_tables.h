// The fixed Huffman code tables of deflate (deflate_tables.cpp), for the encoder and the tests.
#ifndef KAVO_DEFLATE_TABLES_H
#define KAVO_DEFLATE_TABLES_H

#include <array>
#include <cstdint>

// Fixed Huffman codes, bit-reversed for LSB-first output, extra bits joined above the code.
// literal: value = entry >> 4, bits = entry & 15
// length:  value = entry & 0xFFFF, bits = entry >> 16 (index = match length, 0..258)
// distance: value = entry >> 5, bits = entry & 31 (index = distance - 1); the encoder computes
//           these from smaller tables, and the tests check both against each other
extern const std::array<uint16_t, 288> literal_code_table;
extern const std::array<uint32_t, 259> length_code_table;
extern const std::array<uint32_t, 32768> distance_code_table;

#endif
