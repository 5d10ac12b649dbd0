// The login scripts of the page head, the identity suffix of links and the login address.
#pragma once

#include <string>
#include <string_view>

#include "web/params.h"

namespace web {

// `SCRIPT_NAME`, the address of this program (empty when unset).
std::string ScriptName();

// The address this request reached the site at, for BASEURL: "https" when HTTPS is on (or
// REQUEST_SCHEME says so), else "http"; then HTTP_HOST, or SERVER_NAME with SERVER_PORT when
// that is not the scheme's own. Empty when it is not a plain address (config::PlainBaseUrl).
std::string RequestBaseUrl();

// "&Uid=" and the url-encoded current identity; empty when security is off or there is no
// identity (empty or beginning with a blank).
std::string UidSuffix();

// The address of the login page: "<SCRIPT_NAME>?", then "Login=<step>" when step > 0.
std::string LoginUrl(const ParamList& list, int step);

// The value of the cookie `name` in `HTTP_COOKIE`, as the page script's getCookie reads it:
// unescaped ("%XX" and "%uXXXX" below 256); empty when absent.
std::string CookieValue(std::string_view name);

// The key of the browser's remembered user context: the value of the cookie "quorbctx" when
// it is one NewBrowserKey made (24 lower-case hex digits); else empty.
std::string BrowserKey();
// A new random key for this browser, which the response sets as a long-lived cookie when its
// header is still to be written.
std::string NewBrowserKey();
// The "Set-Cookie" header line of the key made for this response; empty when none was.
std::string BrowserKeyHeader();

// The script holding getCookie and ecritCookie.
void WriteCookieFunctions();

// The CookieCheck script of a page titled `title`, then the title and uid comments; makes
// the request's `Uid` the current identity.
void WriteCookieCheck(std::string_view title, const ParamList& list);

}  // namespace web
