#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bytes as text and from files.

// "00a1ff" -> 00 A1 FF (either case). Nothing for an odd length or a character that is not a
// hexadecimal digit.
std::optional<std::vector<unsigned char>> HexToBytes(const std::string& text);

// Two lowercase hexadecimal digits per byte, high nibble first.
std::string ToHex(const unsigned char* data, std::size_t length);
std::string ToHex(const std::vector<unsigned char>& bytes);

// The whole file; nothing when it cannot be opened or read.
std::optional<std::vector<unsigned char>> ReadFile(const std::string& path);
