// A multipart/form-data body, as crash collectors take it: plain fields, then files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlent::upload {

struct FormPart {
  std::string name;
  std::string content;      // the bytes, unchanged
  std::string fileName;     // empty for a plain field
  std::string contentType;  // for a file part; empty for a plain field
};

struct MultipartBody {
  std::string boundary;
  std::string bytes;
  std::string ContentType() const { return "multipart/form-data; boundary=" + boundary; }
};

// Builds the body. The boundary is "orlent-" and hex digits from `seed`, changed until it
// occurs in no part's content, so no content can end a part early. Quotes, backslashes and line
// breaks in names are percent-encoded, as browsers do.
MultipartBody BuildMultipartBody(const std::vector<FormPart>& parts, uint64_t seed);

}  // namespace orlent::upload
