// Reading LAS files and the converter's outputs back byte by byte,
// independently of the code under test; shared by the tests and the fuzz
// targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bytes {

uint16_t le16(const std::string &b, size_t at);
uint32_t le32(const std::string &b, size_t at);
uint32_t be32(const std::string &b, size_t at);
double le_double(const std::string &b, size_t at);
// Stores the low `width` bytes of `value` little-endian at `at`.
void put_le(std::string &b, size_t at, uint64_t value, int width);

// The whole file, or "" if it cannot be read.
std::string slurp(const std::string &path);

}  // namespace bytes

// Record length of each LAS variant code 1..8, from the format tables.
inline constexpr uint16_t kVariantRecordLength[9] = {0, 20, 28, 20, 28, 20, 28, 26, 34};

// "" when BASE.shp, .shx and .dbf hold `points` records each, their sizes
// agree with their headers, the records are numbered and indexed in order,
// every coordinate is finite and inside the header box, and every row
// starts with its deletion flag; otherwise what is wrong.
std::string output_problems(const std::string &base, uint32_t points);
