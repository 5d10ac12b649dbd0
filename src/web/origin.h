// Where a request comes from, as the browser tells it: a form posted by a page of another
// site must not act here (a login it posts would log the visitor in as someone else).
#pragma once

#include <string_view>

namespace web {

// True when the browser says another site sent the request: `Sec-Fetch-Site` is
// "cross-site", or `Origin` names another host than `Host` (an `Origin` of "null", an opaque
// page, counts as another). A request that says neither (an older browser, a script) is
// taken as this site's.
bool IsCrossSite(std::string_view fetch_site, std::string_view origin, std::string_view host);
// The same from the request's environment (HTTP_SEC_FETCH_SITE, HTTP_ORIGIN, HTTP_HOST).
bool RequestIsCrossSite();

}  // namespace web
