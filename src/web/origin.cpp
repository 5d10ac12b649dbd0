#include "web/origin.h"

#include <cstdlib>

namespace web {
namespace {

std::string_view HeaderOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string_view(value) : std::string_view();
}

}  // namespace

bool IsCrossSite(std::string_view fetch_site, std::string_view origin, std::string_view host) {
  if (fetch_site == "cross-site") return true;
  if (origin.empty()) return false;
  // "scheme://host[:port]": the part after "//" must be the Host the request was sent to.
  const size_t slashes = origin.find("://");
  if (slashes == std::string_view::npos) return true;
  std::string_view origin_host = origin.substr(slashes + 3);
  if (origin_host.ends_with('/')) origin_host.remove_suffix(1);
  return host.empty() || origin_host != host;
}

bool RequestIsCrossSite() {
  return IsCrossSite(HeaderOrEmpty("HTTP_SEC_FETCH_SITE"), HeaderOrEmpty("HTTP_ORIGIN"),
                     HeaderOrEmpty("HTTP_HOST"));
}

}  // namespace web
