#include "persistence/frame.hpp"

#include <limits>
#include <variant>

#include "persistence/model_json.hpp"

namespace zelki::persistence {

namespace {

constexpr std::size_t kVersionOffset = 5;
constexpr std::size_t kLengthOffset = 9;

void append_le(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t read_le(std::string_view buffer, std::size_t offset, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(buffer[offset + static_cast<std::size_t>(i)]);
  }
  return value;
}

// "[90, 69, 76, 75, 73]": the bytes as unsigned decimal values.
std::string byte_list(std::string_view bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(static_cast<unsigned char>(bytes[i]));
  }
  return out + "]";
}

InvalidParameter deserialize_error(const std::string& detail) {
  return InvalidParameter{"FittedGam::deserialize: " + detail};
}

}  // namespace

std::string serialize(const fit::FittedGam& model) {
  const std::string body = write_model_json(model);
  std::string frame;
  frame.reserve(kHeaderSize + body.size());
  frame += kMagic;
  append_le(frame, kFormatVersion, 4);
  append_le(frame, body.size(), 8);
  frame += body;
  return frame;
}

Result<fit::FittedGam> deserialize(std::string_view buffer) {
  if (buffer.size() < kHeaderSize) {
    return deserialize_error("buffer too short (" + std::to_string(buffer.size()) + " < " +
                             std::to_string(kHeaderSize) + " header bytes)");
  }
  if (buffer.substr(0, kMagic.size()) != kMagic) {
    return deserialize_error("bad magic; expected " + byte_list(kMagic) + ", got " +
                             byte_list(buffer.substr(0, kMagic.size())));
  }
  const std::uint64_t version = read_le(buffer, kVersionOffset, 4);
  if (version != kFormatVersion) {
    return deserialize_error("unsupported format_version=" + std::to_string(version) +
                             " (this build expects " + std::to_string(kFormatVersion) +
                             "). Re-serialize with a matching zelki release, or roll a migration.");
  }
  const std::uint64_t length = read_le(buffer, kLengthOffset, 8);
  if (length > std::numeric_limits<std::uint64_t>::max() - kHeaderSize) {  // 17 + L wraps
    return deserialize_error("length overflow");
  }
  const std::size_t available = buffer.size() - kHeaderSize;
  if (available < length) {
    return deserialize_error("truncated body (have " + std::to_string(available) +
                             " bytes, header says " + std::to_string(length) +
                             " payload bytes follow the " + std::to_string(kHeaderSize) +
                             "-byte header)");
  }
  auto read = read_model_json(buffer.substr(kHeaderSize, length));
  if (auto* error = std::get_if<JsonError>(&read)) {
    return deserialize_error("JSON decode failed at byte " + std::to_string(error->column) + ": " +
                             error->message + " at line " + std::to_string(error->line) +
                             " column " + std::to_string(error->column));
  }
  return std::get<fit::FittedGam>(std::move(read));
}

}  // namespace zelki::persistence
