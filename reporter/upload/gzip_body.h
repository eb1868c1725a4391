// gzip of a request body, for collectors that take Content-Encoding: gzip.
#pragma once

#include <optional>
#include <string>

namespace orlent::upload {

// The gzip stream of `bytes`, or nothing (with zlib's reason in *error).
std::optional<std::string> Gzip(const std::string& bytes, std::string* error);

}  // namespace orlent::upload
