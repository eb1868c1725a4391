// The POST of a report through WinHTTP. HTTPS certificates are always checked: no option to
// ignore an unknown authority, a wrong name or an expired certificate is ever set.
#pragma once

#include "upload/http_transport.h"

namespace orlent::upload {

class WinHttpTransport : public HttpTransport {
 public:
  HttpResponse Post(const HttpRequest& request) override;
};

}  // namespace orlent::upload
