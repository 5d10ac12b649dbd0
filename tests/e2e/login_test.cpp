#include <gtest/gtest.h>

#include <regex>

#include "base/encode.h"
#include "harness.h"
#include "users/passwords.h"

namespace {

using namespace e2e;

const std::string kCheckScriptOf2 =
    "<SCRIPT LANGUAGE=JavaScript>  \nfunction CookieCheck() \n{  \n"
    "   var user = getCookie(\"quorb\"); \n} \n</SCRIPT>             \n\n"
    "<!title:QUORB Login2>\n<!uid: >\n<TITLE>QUORB Login2</TITLE>\n</HEAD>\n"
    "<BODY BACKGROUND=/quorb/images//fond.gif BGCOLOR=\"#FFFFFF\" TEXT=\"#000000\" "
    "onLoad=\"CookieCheck()\">\n";

std::string After(const std::string& page, const std::string& marker) {
  size_t at = page.find(marker);
  return at == std::string::npos ? "" : page.substr(at + marker.size());
}

// The login form carries every other parameter, the typed ones excepted, escaped: values from
// the request never end an attribute, a script string or a comment. Every page checks the
// cookie against its token in a script that sends a stranger to the login page.
TEST(Login, FormCarriesTheOtherParametersEscapedAndDispatchesNothingElse) {
  Installation inst("SECURITY YES\n");
  WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
  auto r = inst.Get("CMD=help&Passwd=x&User=y&Login=1");
  EXPECT_EQ(
      "",
      Missing(
          r.out,
          {"<TITLE>QUORB Login</TITLE>", "   document.forms[0].User.focus()\n} \n",
           "<INPUT TYPE=password NAME=Passwd ID=Passwd SIZE=20 AUTOCOMPLETE=current-password>"}));
  // The form posts the next step.
  EXPECT_TRUE(After(r.out, "onLoad=\"CookieCheck()\">\n")
                  .ends_with("<INPUT TYPE=hidden NAME=\"Login\" VALUE=\"2\">\n"
                             "      <INPUT TYPE=hidden NAME=\"CMD\" VALUE=\"help\">\n </FORM>\n"))
      << r.out;
  EXPECT_FALSE(Has(r.out, "<H1>QUORB"));  // the help page did not run
  // A new token replaces a carried Uid.
  const std::string again = inst.Post("Uid=old&Login=2&User=kolvar&Passwd=secret").out;
  EXPECT_TRUE(Has(again, "NAME=Uid VALUE=\"mqnxct#VGUV#") && !Has(again, "\"old\"")) << again;

  // The check step writes names unquoted: a blank or '=' cannot start another attribute.
  auto check = inst.PostMultipart({{"Login", "2", ""},
                                   {"User", "kolvar", ""},
                                   {"Passwd", "secret", ""},
                                   {"x onfocus=alert(1)", "v\"><b>", ""}});
  EXPECT_TRUE(Has(check.out,
                  "<INPUT TYPE=HIDDEN NAME=x&#32;onfocus&#61;alert(1) "
                  "VALUE=\"v&quot;&gt;&lt;b&gt;\">\n"))
      << check.out;

  auto without = inst.Get("CMD=help");
  EXPECT_EQ("", Missing(without.out, {"   var user = getCookie(\"quorb\"); \n"
                                      "   if (user == \"\") \n"
                                      "      document.location=\"/cgi-bin/quorb.cgi?Login=1\" \n"
                                      "} \n</SCRIPT>             \n\n<!title:HELP>\n<!uid: >\n"
                                      "<TITLE>HELP</TITLE>\n",
                                      "<SCRIPT LANGUAGE=JavaScript>\nfunction getCookie(nom) \n"}))
      << without.out;
  auto uid = inst.Get("CMD=help&Uid=x%22)%3C/script%3E%3Cscript%3Ealert(1)//\\");
  EXPECT_EQ(
      "",
      Missing(uid.out, {"   if (user != \"x&quot;)&lt;/script&gt;&lt;script&gt;alert(1)//\\\\\") \n"
                        "      document.location=\"/cgi-bin/quorb.cgi?Login=1\" \n",
                        "<!uid:x&quot;)&lt;/script&gt;&lt;script&gt;alert(1)//\\>\n"}))
      << uid.out;
}

// The check step: the token "<login+2>#<project+2>#<time>#<mac>" posted on with the carried
// fields, and the cookie with the lifetime PERSIST of the main file
// gives (a PERSIST of the request changes nothing).
TEST(Login, GoodPasswordSetsTheCookieForASessionOrDays) {
  // The lifetimes themselves are the users unit tests'.
  for (int persist : {0, 2}) {
    Installation inst("SECURITY YES\nPERSIST " + std::to_string(persist) + "\n");
    WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
    auto r = inst.Post("Login=2&User=kolvar&Passwd=secret&CMD=search&PERSIST=" +
                       std::to_string(3 - persist));
    std::string expiry = persist == 0 ? "null" : "(\\d+)000";
    std::regex shape(
        "<FORM NAME=mainform METHOD=POST ACTION=/cgi-bin/quorb.cgi>\n"
        "<INPUT TYPE=HIDDEN NAME=Uid VALUE=\"mqnxct#VGUV#(\\d+)#[0-9a-f]{16}\">\n"
        "<INPUT TYPE=HIDDEN NAME=CMD VALUE=\"search\">\n"
        "</FORM><SCRIPT LANGUAGE=JavaScript>            \n"
        "  ecritCookie\\(\"quorb\", \"mqnxct#VGUV#(\\d+)#[0-9a-f]{16}\", " +
        expiry +
        "\\); \n"
        "  document.mainform.submit\\(\\);           \n"
        "</SCRIPT>                               \nOK");
    std::string tail = After(r.out, kCheckScriptOf2);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(tail, m, shape)) << persist << "\n" << r.out;
    EXPECT_EQ(m[1], m[2]);
    if (persist > 0) {
      EXPECT_EQ(std::stol(m[3]) - std::stol(m[2]), 604800);
    }
  }
}

TEST(Login, SecurityOffStillChecksButWritesNoCookieNorScripts) {
  Installation inst;
  WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
  auto r = inst.Post("Login=2&User=kolvar&Passwd=secret");
  EXPECT_TRUE(Has(r.out, "<INPUT TYPE=HIDDEN NAME=Uid VALUE=\"mqnxct#VGUV#")) << r.out;
  EXPECT_EQ("",
            Found(r.out, {"<SCRIPT LANGUAGE=JavaScript>  \nfunction CookieCheck", "ecritCookie"}));
}

// A members file may hold hashes (as the setup pages write it) or passwords in clear (an
// older file): both log in, whole, and nothing shorter or longer does: that is the error box
// and no cookie. A login is looked for in the project whose file holds it.
TEST(Login, HashedAndClearPasswordsAreComparedWhole) {
  Installation inst("SECURITY YES\n");
  WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
  const std::string long_pw = "correct-horse-battery-staple";  // over 19 characters
  inst.Write("config/TEST_users.cfg", "kolvar:k@x:" + users::HashPassword("s3cr;t pw") +
                                          ": :YES\n" + "tessin:t@x:" + long_pw + ": :YES\n" +
                                          "blank:b@x: : :YES\n");
  inst.Write("config/OTHER_users.cfg", "Zed:zed@example.org:Zpw\n");
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"kolvar", "s3cr;t pw", true}, {"kolvar", "s3cr;t p", false},
      {"tessin", long_pw, true},     {"tessin", long_pw.substr(0, 19), false},
      {"blank", "", false},          {"nobody", "x", false},
      {"Zed", "Zpw", true},
  };
  int client = 0;  // one address each, so that failures do not slow the next case down
  for (const auto& [user, password, logs_in] : cases) {
    auto r = inst.Send("Login=2&User=" + user + "&Passwd=" + base::UrlEncode(password),
                       {{"REMOTE_ADDR", "10.0.0." + std::to_string(++client)}});
    EXPECT_EQ(Has(r.out, "NAME=Uid VALUE="), logs_in) << user << " " << password;
    if (!logs_in) {
      EXPECT_TRUE(
          After(r.out, kCheckScriptOf2)
              .starts_with(kErrorBox +
                           "Wrong login or password.\n</TD></TR></TABLE><P><A "
                           "HREF=\"/cgi-bin/quorb.cgi?Login=1\">Back to the login page</A>\n"))
          << r.out;
    }
    // 'Z' + 2 is a backslash: doubled inside the script string.
    if (user == "Zed") {
      EXPECT_EQ("", Missing(r.out, {"NAME=Uid VALUE=\"\\gf#QVJGT#",
                                    "ecritCookie(\"quorb\", \"\\\\gf#QVJGT#"}));
    }
  }
}

}  // namespace
