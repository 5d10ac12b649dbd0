#include <gtest/gtest.h>

#include "base/request_state.h"
#include "common/capture.h"
#include "config/language.h"
#include "e2e/harness.h"
#include "unit_support.h"
#include "web/page.h"

namespace {

using e2e::CaptureStdout;
using e2e::InProcess;
using e2e::Installation;

// Lines are cut at 299 characters.
TEST(LanguageTable, LaterLinesWinAndOnlyPositiveNumbersCount) {
  Installation inst;
  inst.Write("config/langue.EN",
             "1,EN\r\n2,v4.6\n500,Erreur\n500,Error\n12, word\n0,zero\n#12,x\n-3,neg\n"
             "7,  kept blanks  \r\n8,a,b\n9\n+4,plus\n5," +
                 std::string(400, 'x') + "\n6,next\n10,last line without end");
  InProcess req(inst);
  EXPECT_EQ(config::Msg(5), std::string(297, 'x'));
  // A CR LF line end is removed; blanks, commas and a last line without its end are kept.
  EXPECT_EQ(unit_test::Each(config::Msg, {6, 500, 12, 0, -3, 1, 7, 8, 9, 4, 10, 4242}),
            "next|Error| word|||EN|  kept blanks  |a,b||plus|last line without end||");
}

TEST(LanguageTable, CodeFromLanguageFirstWordOrFrench) {
  Installation fr("LANGUAGE \n");  // the later empty LANGUAGE line wins
  fr.Write("config/langue.FR", "1,FR\n");
  fr.Write("config/langue.EN", "1,EN\n");
  {
    InProcess req(fr);
    EXPECT_EQ(config::Msg(1), "FR");
  }
  Installation two("LANGUAGE EN extra\n");
  two.Write("config/langue.EN", "1,EN\n");
  InProcess req(two);
  EXPECT_EQ(config::Msg(1), "EN");
}

class PageFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    inst.Write("config/langue.EN",
               "1,EN\n2,v4.6\n500,Error\n506,Not available\n"
               "510,Unknown sheet %s\n");
  }
  Installation inst;
};

// Only the default colour carries the background image; the title is escaped. A file copy
// has no scripts, no background and no blank line. (The default colour's head, with the
// background image, is the home page's.)
TEST_F(PageFrame, HeadPerColourAndInAFile) {
  InProcess req(inst);
  EXPECT_EQ(CaptureStdout([] { web::WritePageHead(nullptr, "Sheet <b>", "#C0C0C0", {}); }),
            std::string(e2e::kHtmlHeader) + "<HTML LANG=\"en\">\n<HEAD>\n" +
                std::string(web::kEveryReaderHead) +
                "<TITLE>Sheet &lt;b&gt;</TITLE>\n</HEAD>\n"
                "<BODY BGCOLOR=\"#C0C0C0\" TEXT=\"#000000\" >\n");
  inst.WriteConfig(inst.DefaultConfig("SECURITY YES\n"));
  base::ResetRequestState();
  EXPECT_EQ(testing_support::CaptureStream(
                [](std::FILE* f) { web::WritePageHead(f, "TS10.00042", "", {}); }),
            "Content-Type: text/html; charset=us-ascii\n<HTML>\n<HEAD>\n<TITLE>TS10.00042</TITLE>\n"
            "</HEAD>\n<BODY BGCOLOR=\"#FFFFFF\" TEXT=\"#000000\" >\n");
}

// The page names its language from the language file's code; a code that is no language tag
// is not written into the page.
TEST(PageFrameLanguage, FromTheLanguageCode) {
  for (auto [language, tag] : std::initializer_list<std::pair<const char*, const char*>>{
           {"EN", "en"}, {"", "fr"}, {"deu extra", "deu"}, {"E\"N", "fr"}, {"ENGLISH", "fr"}}) {
    Installation inst(std::string("LANGUAGE ") + language + "\n");
    InProcess req(inst);
    const std::string page = CaptureStdout([] { web::WritePageHead(nullptr, "T", "#C0C0C0", {}); });
    EXPECT_NE(page.find(std::string("<HTML LANG=\"") + tag + "\">\n"), std::string::npos)
        << language;
  }
}

TEST_F(PageFrame, ErrorBoxes) {
  InProcess req(inst);
  const std::string box = e2e::kErrorBox;
  EXPECT_EQ(CaptureStdout([] { web::ErrorBox(506); }), box + "Not available\n</TD></TR></TABLE>");
  EXPECT_EQ(CaptureStdout([] { web::ErrorBoxArg(510, "T<1>"); }),
            box + "Unknown sheet T&lt;1&gt;</TD></TR></TABLE>");
  // A message without the placeholder its callers pass is written as it stands.
  EXPECT_EQ(CaptureStdout([] { web::ErrorBoxArg(506, "x"); }),
            box + "Not available</TD></TR></TABLE>");
}

}  // namespace
