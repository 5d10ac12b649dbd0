// Fuzzes the request decoder: the url-encoded loop and the multipart parser on arbitrary
// bytes. The first input byte picks the boundary line's length.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/encode.h"
#include "web/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  web::DecodeUrlEncoded(input);
  base::UrlDecode(input);
  if (size > 0) {
    size_t split = std::min<size_t>(static_cast<unsigned char>(input[0]), size - 1);
    web::ParseMultipart(input.substr(1, split), input.substr(1 + split));
  }
  return 0;
}
