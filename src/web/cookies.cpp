#include "web/cookies.h"

#include <cstdlib>

#include "base/encode.h"
#include "base/out.h"
#include "config/main_config.h"
#include "web/identity.h"

namespace web {
std::string ScriptName() {
  const char* v = std::getenv("SCRIPT_NAME");
  return v ? v : "";
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
  base::Page("<!uid:%s>\n", base::EscapeHtml(uid));
  SetCurrentUid(uid);
}

}  // namespace web
