// CRC-32C (Castagnoli), the checksum of the compact binary state.
#pragma once

#include <cstdint>
#include <string_view>

namespace arbolet::persist {

std::uint32_t crc32c(std::string_view bytes);

}  // namespace arbolet::persist
