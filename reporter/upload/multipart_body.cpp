#include "upload/multipart_body.h"

#include <cstdio>

namespace orlent::upload {
namespace {

std::string QuotedParameter(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += "%22";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else if (c == '\\') out += "%5C";
    else out += c;
  }
  return out + "\"";
}

std::string BoundaryFrom(uint64_t seed) {
  char text[40];
  std::snprintf(text, sizeof text, "orlent-%016llx", static_cast<unsigned long long>(seed));
  return text;
}

bool OccursInAnyPart(const std::vector<FormPart>& parts, const std::string& boundary) {
  for (const FormPart& part : parts)
    if (part.content.find(boundary) != std::string::npos) return true;
  return false;
}

}  // namespace

MultipartBody BuildMultipartBody(const std::vector<FormPart>& parts, uint64_t seed) {
  MultipartBody body;
  // A step that is odd changes every bit pattern in turn; a collision needs the content to
  // hold this very string, so one or two steps always suffice in practice.
  do {
    body.boundary = BoundaryFrom(seed);
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
  } while (OccursInAnyPart(parts, body.boundary));

  size_t total = 0;
  for (const FormPart& part : parts) total += part.content.size() + 200;
  body.bytes.reserve(total);
  for (const FormPart& part : parts) {
    body.bytes += "--" + body.boundary + "\r\n";
    body.bytes += "Content-Disposition: form-data; name=" + QuotedParameter(part.name);
    if (!part.fileName.empty()) body.bytes += "; filename=" + QuotedParameter(part.fileName);
    body.bytes += "\r\n";
    if (!part.contentType.empty()) body.bytes += "Content-Type: " + part.contentType + "\r\n";
    body.bytes += "\r\n";
    body.bytes += part.content;
    body.bytes += "\r\n";
  }
  body.bytes += "--" + body.boundary + "--\r\n";
  return body;
}

}  // namespace orlent::upload
