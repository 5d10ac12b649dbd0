// Pieces shared by the test-book pages (inside testbook only).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testbook/records.h"
#include "web/params.h"

namespace testbook {

// Where an action page works: read from `project`, `group`, `phase` (decimal index), `mod`,
// `step` and `test`. Missing values are " ", as the request gives them.
struct BookPlace {
  std::string project;
  std::string group;
  int phase = -1;
  std::string mod;
  std::string step;
  std::string test;

  bool HasMod() const { return !web::IsAbsent(mod) && !mod.empty(); }
  bool HasStep() const { return !web::IsAbsent(step) && !step.empty(); }
  bool HasTest() const { return !web::IsAbsent(test) && !test.empty(); }
  // The test record of this place with the given number.
  TestRecord Test(int number) const;
};

// Reads the place of an action page from the request. False when it names no book that can
// be on disk, lacks an identifier the action needs (`need_mod`...), or holds one that cannot
// be a file name.
bool ReadBookPlace(const web::ParamList& list, bool need_mod, bool need_step, bool need_test,
                   BookPlace& place);

// Actions (the `book` parameter) and icons.
enum Action {
  kNewModuleForm = 3,
  kCreateModule = 4,
  kNewStepForm = 5,
  kCreateStep = 6,
  kNewTestForm = 7,
  kCreateTest = 8,
  kEditModuleForm = 9,
  kSaveModule = 10,
  kEditStepForm = 11,
  kSaveStep = 12,
  kEditTestForm = 13,
  kSaveTest = 14,
  kViewModule = 15,
  kPrintModule = 16,
  kDeleteModule = 17,
  kViewStep = 18,
  kPrintStep = 19,
  kDeleteStep = 20,
  kViewTest = 21,
  kPrintTest = 22,
  kDeleteTest = 23,
  kViewBook = 24,
  kPrintBook = 25,
  // Campaigns (CMD=tests); 15, 16, 18, 19, 24 and 25 show or print results there.
  kNewCampaignForm = 26,
  kCreateCampaign = 27,
  kCampaignSummary = 28,
  kResultForm = 29,
  kSaveResult = 30,
  kExportSummary = 31,  // the summary as a tab-separated download
  kVerdictsForm = 32,   // every test of the book with its verdict, set in one submit
  kSaveVerdicts = 33,
};
enum Icon {
  kIconEdit = 0,
  kIconView = 1,
  kIconPrint = 2,
  kIconDelete = 3,
  kIconNew = 4,
  kIconSummary = 5,
  kIconBack = 6,
};
// The image of an icon ("editbt"...).
std::string_view IconName(int icon);

// "<A HREF=...&book=n"> " and the icon, to the action `n` at `place`.
void WriteActionLink(const BookPlace& place, int action, int icon);
// "<INPUT TYPE="hidden" NAME="name" VALUE="value">", escaped.
void WriteHidden(std::string_view name, std::string_view value);
// The hidden fields every form carries: CMD, project, group, phase and, when one is set, Uid.
void WriteFormPlace(const BookPlace& place);
// The start of a link to the navigator at `place`: "<A HREF=\"script?CMD=book&project=..&phase=n".
std::string NavigatorLinkStart(const BookPlace& place);
// Escaped text with its line breaks kept as "<BR>".
std::string TextHtml(std::string_view text);

// The pages.
void WriteNavigator(web::ParamList& list, std::string_view cmd);

// The parts of the navigators shared by the book and the campaigns.
// The phase as a navigator receives it: a decimal index, or the letter of the phase selector;
// missing or negative: the remembered phase. -1 when there is none.
int NavigatorPhase(const web::ParamList& list);
// Fills `place` from the request (project and group defaulted from the user's context), then
// writes the scripts (changePage2's base carries `camp` when one is given), the heading
// (message `heading`) and the project, group and phase selectors, ending after the phase's
// table. False, with that row closed, when there is no project or group to show a book for.
bool WriteNavigatorTop(web::ParamList& list, std::string_view cmd, int heading,
                       const std::string* camp, BookPlace& place);
void WriteNavigatorEnd();
// A selector of item keys for changePage2's `menu`; nothing when there are no keys.
void WriteItemSelector(const std::vector<std::string>& keys, std::string_view current, int menu);
void WriteModuleForm(const BookPlace& place, bool edit);
// The saves of the forms. Each marks the change stored once it is (web::MarkStored); `done`
// shows the page of a change stored before, saving nothing. A stored test's number goes
// into `place.test`.
void SaveModule(const web::ParamList& list, const BookPlace& place, bool create, bool done);
void WriteStepForm(const BookPlace& place, bool edit);
void SaveStep(const web::ParamList& list, const BookPlace& place, bool create, bool done);
void WriteTestForm(const BookPlace& place, bool edit);
void SaveTest(const web::ParamList& list, BookPlace& place, bool create, bool done);

void ShowTest(const TestRecord& test);
void ViewTest(const BookPlace& place);
void ViewStep(const BookPlace& place, bool embedded, bool children = true);
void ViewModule(const BookPlace& place, bool embedded, bool children = true);
void ViewBook(const BookPlace& place);

// The deletions mark the change stored once the file is gone.
void DeleteModule(web::ParamList& list, const BookPlace& place);
void DeleteStep(web::ParamList& list, const BookPlace& place);
void DeleteTest(web::ParamList& list, const BookPlace& place);

}  // namespace testbook
