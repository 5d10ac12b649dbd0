#include "web/cookies.h"

#include <cstdlib>
#include <random>

#include "base/encode.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "web/identity.h"

namespace web {
std::string ScriptName() {
  const char* v = std::getenv("SCRIPT_NAME");
  return v ? v : "";
}

std::string RequestBaseUrl() {
  auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
  };
  const std::string https = env("HTTPS");
  const bool secure =
      https == "on" || https == "ON" || https == "1" || env("REQUEST_SCHEME") == "https";
  std::string host = env("HTTP_HOST");
  if (host.empty()) {
    host = env("SERVER_NAME");
    const std::string port = env("SERVER_PORT");
    if (!host.empty() && !port.empty() && port != (secure ? "443" : "80")) host += ":" + port;
  }
  if (host.empty()) return {};
  return config::PlainBaseUrl((secure ? "https://" : "http://") + host);
}

std::string UidSuffix() {
  const std::string& uid = GetCurrentUid();
  if (!config::IsSecurityOn() || uid.empty() || uid.front() == ' ') return "";
  return "&Uid=" + base::UrlEncode(uid);
}

std::string LoginUrl(const ParamList& /*list*/, int step) {
  std::string url = base::Sprintf("%s?", ScriptName());
  if (step > 0) url += base::Sprintf("%s=%d", "Login", step);
  return url;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of `digits` hexadecimal digits at `text[at]`, or -1.
long HexAt(std::string_view text, size_t at, size_t digits) {
  if (at + digits > text.size()) return -1;
  long value = 0;
  for (size_t i = 0; i < digits; ++i) {
    int d = HexValue(text[at + i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

// What the browser's unescape gives for an escaped value, bytes 0 to 255 only.
std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    long value = -1;
    size_t length = 0;
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'u') {
      value = HexAt(text, i + 2, 4);
      length = 6;
    } else if (text[i] == '%') {
      value = HexAt(text, i + 1, 2);
      length = 3;
    }
    if (value < 0) {
      out += text[i];
      continue;
    }
    if (value < 256) out += static_cast<char>(value);
    i += length - 1;
  }
  return out;
}

}  // namespace

namespace {

constexpr std::string_view kBrowserCookie = "quorbctx";
constexpr size_t kBrowserKeyDigits = 24;

struct NewKey {
  std::string value;
};

}  // namespace

std::string BrowserKey() {
  std::string key = CookieValue(kBrowserCookie);
  if (key.size() != kBrowserKeyDigits ||
      key.find_first_not_of("0123456789abcdef") != std::string::npos)
    return {};
  return key;
}

std::string NewBrowserKey() {
  std::string& key = base::Cache<NewKey>().value;
  if (key.empty()) {
    std::random_device random;
    while (key.size() < kBrowserKeyDigits) key += base::Sprintf("%08x", random());
    key.resize(kBrowserKeyDigits);
  }
  return key;
}

std::string BrowserKeyHeader() {
  const std::string& key = base::Cache<NewKey>().value;
  if (key.empty()) return {};
  // Ten years: the context outlives the session, as the address record did.
  return base::Sprintf("Set-Cookie: %s=%s; Max-Age=315360000; Path=/; HttpOnly; SameSite=Lax\n",
                       kBrowserCookie, key);
}

std::string CookieValue(std::string_view name) {
  const char* header = std::getenv("HTTP_COOKIE");
  std::string_view rest = header ? header : "";
  while (!rest.empty()) {
    size_t end = rest.find(';');
    std::string_view pair = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name)
      return Unescape(pair.substr(eq + 1));
  }
  return {};
}

void WriteCookieFunctions() {
  base::Write(nullptr,
              "<SCRIPT LANGUAGE=JavaScript>\n"
              "function getCookie(nom) \n"
              "{ \n"
              "   var cle = nom + \"=\"; \n"
              "   var cookies = document.cookie; \n"
              "   var debut = cookies.indexOf(cle); \n"
              "   while (debut > 0 && cookies.charAt(debut - 1) != \" \" && cookies.charAt(debut - "
              "1) != \";\") \n"
              "      debut = cookies.indexOf(cle, debut + 1); \n"
              "   if (debut < 0) return \"\"; \n"
              "   debut += cle.length; \n"
              "   var fin = cookies.indexOf(\";\", debut); \n"
              "   if (fin < 0) fin = cookies.length; \n"
              "   return unescape(cookies.substring(debut, fin)); \n"
              "} \n"
              "function ecritCookie(nom, valeur, expire) \n"
              "{ \n"
              "   var texte = nom + \"=\" + escape(valeur); \n"
              "   if (expire != null) texte += \"; expires=\" + new Date(expire).toGMTString(); \n"
              "   texte += \"; SameSite=Lax\"; \n"
              "   document.cookie = texte; \n"
              "} \n"
              "</SCRIPT>\n");
}

void WriteCookieCheck(std::string_view title, const ParamList& list) {
  const std::string& uid = GetParam(list, "Uid");
  base::Write(nullptr,
              "<SCRIPT LANGUAGE=JavaScript>  \n"
              "function CookieCheck() \n"
              "{  \n"
              "   var user = getCookie(\"quorb\"); \n");
  if (title == "QUORB Login") {
    base::Page("   document.forms[0].%s.focus()\n", "User");
  } else if (title != "QUORB Login2") {
    if (uid.size() < 2)
      base::Write(nullptr, "   if (user == \"\") \n");
    else
      base::Page("   if (user != \"%s\") \n", base::EscapeScript(uid));
    base::Page("      document.location=\"%s\" \n", base::EscapeScript(LoginUrl(list, 1)));
  }
  base::Write(nullptr, "} \n</SCRIPT>             \n\n");
  base::Page("<!title:%s>\n", base::EscapeHtml(title));
  config::DebugPage("<!uid:%s>\n", base::EscapeHtml(uid));
  // A request without a `Uid` of its own keeps the identity its cookie gave it.
  if ((uid.size() >= 2 && !IsAbsent(uid)) || GetCurrentUid().empty()) SetCurrentUid(uid);
}

}  // namespace web
