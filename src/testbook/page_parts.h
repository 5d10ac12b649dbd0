// Pieces shared by the test-book pages (inside testbook only).
#pragma once

#include <string>
#include <string_view>

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
  kDeleteModule = 17,
  kViewStep = 18,
  kDeleteStep = 20,
  kViewTest = 21,
  kDeleteTest = 23,
  kViewBook = 24,
};
enum Icon { kIconEdit = 0, kIconView = 1, kIconPrint = 2, kIconDelete = 3, kIconNew = 4 };

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
void WriteModuleForm(const BookPlace& place, bool edit);
void SaveModule(const web::ParamList& list, const BookPlace& place, bool create);
void WriteStepForm(const BookPlace& place, bool edit);
void SaveStep(const web::ParamList& list, const BookPlace& place, bool create);
void WriteTestForm(const BookPlace& place, bool edit);
void SaveTest(const web::ParamList& list, const BookPlace& place, bool create);

void ShowTest(const TestRecord& test);
void ViewTest(const BookPlace& place);
void ViewStep(const BookPlace& place, bool embedded, bool children = true);
void ViewModule(const BookPlace& place, bool embedded, bool children = true);
void ViewBook(const BookPlace& place);

void DeleteModule(web::ParamList& list, const BookPlace& place);
void DeleteStep(web::ParamList& list, const BookPlace& place);
void DeleteTest(web::ParamList& list, const BookPlace& place);

}  // namespace testbook
