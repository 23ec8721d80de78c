// SHA-256 of a byte string, for naming the exact file a result relies on.
#pragma once

#include <string>

namespace vesk {

// The digest of data as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const std::string& data);

}  // namespace vesk
