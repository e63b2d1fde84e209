// The saved form of a fitted model: a 17-byte header (magic "ZELKI", little-endian u32 format
// version, little-endian u64 body length) followed by the compact JSON body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::persistence {

inline constexpr std::string_view kMagic = "ZELKI";
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 17;

// The frame of a model; exactly kHeaderSize + body length bytes. Writing cannot fail: every value
// has a spelling (non-finite floats are written as null).
std::string serialize(const fit::FittedGam& model);

// Rebuilds a model from a frame. The buffer is untrusted: every length and extent is checked
// against the bytes actually present before it is used, and any failure is InvalidParameter with
// a message prefixed "FittedGam::deserialize: ". Bytes after the body are ignored.
Result<fit::FittedGam> deserialize(std::string_view buffer);

}  // namespace zelki::persistence
