#include "sheets/action_table.h"

#include "sheets/actions.h"
#include "sheets/create.h"
#include "sheets/edit.h"
#include "sheets/print.h"

namespace sheets {
namespace {

void Status(const Action& action, web::ParamList& list) {
  HandleAction(action.code, list);
}
void Edit(const Action& action, web::ParamList& list) {
  EditCommand(action.code, list);
}
void New(const Action&, web::ParamList& list) {
  StoreNewSheet(list);
}
void Print(const Action&, web::ParamList& list) {
  const std::string name = web::GetParam(list, "Num");
  PrintSheet(list, name);
}

using enum ActionKind;
using enum FormHeading;
using enum CommitTitle;
using enum LogArgs;
// Entry kinds share a name with a form heading (kTitled).
using Entry = EntryKind;

// clang-format off
// code, CMD, image, label, kind, handler, default mail line,
//   form: method, heading, title, lead, corrected only, fields,
//   commit: title kind, title, needs, missing, condition, status, set fields, log, log args,
//           entry, entry name, remembered context
constexpr Action kActions[] = {
    {kActionChangeHeader, "Change_Header", "header", 140, kEdit, Edit, " M", {}, {}},
    {kActionObserved, "Observed", "observe", 141, kStatus, Status, " s",
     {"GET", kTitled, 2038, 2039, false, DesignateFields},
     {kFormat, 2038, kNeedUser | kNeedSub, 502, nullptr, store::kObserved, SetResponsible,
      2040, kSubUser, Entry::kNone, 0, false}},
    {kActionAnalyse, "Analyse", "analyse", 142, kStatus, Status, " M a",
     {"POST", kNamedOpen, 2087, 0, false, AnalyseFields},
     {kLabel, 2087, kNeedUser | kNeedTitle, 502, nullptr, kStatusUnchanged, nullptr,
      2088, kTitleUser, Entry::kTitled, 0, true}},
    {kActionAttach, "Attach", "attach", 143, kStatus, Status, " M a",
     {"POST enctype=\"multipart/form-data\"", kNamedNote, 2081, 2082, false, AttachFields},
     {kLabel, 2084, kNeedUser | kNeedTitle, 502, AttachCondition, kStatusUnchanged, nullptr,
      2086, kTitleUser, Entry::kAttachment, 0, true}},
    {kActionCopy, "Copy", "copy", 144, kEdit, Edit, "", {}, {}},
    {kActionAssign, "Assign", "assign", 145, kStatus, Status, " a",
     {"GET", kNamed, 2041, 2042, false, DesignateFields},
     {kFormat, 2043, kNeedSub, 502, ManagerCondition, store::kAssigned, SetResponsible,
      2044, kSubUser, Entry::kNone, 0, false}},
    {kActionOpen, "Open", "open", 146, kStatus, Status, " a",
     {"GET", kTitled, 2045, 2046, false, DesignateFields},
     {kFormat, 2047, kNeedSub, 502, nullptr, store::kOpen, SetResponsible,
      2048, kSubUser, Entry::kNone, 0, false}},
    {kActionNotABug, "Not_a_Bug", "notabug", 147, kStatus, Status, " M s",
     {"GET", kTitled, 2049, 2050, false, ConfirmFields},
     {kFormat, 2051, kNeedUser, 502, nullptr, store::kNotABug, nullptr,
      2052, kByUser, Entry::kNone, 0, false}},
    {kActionNotReproducible, "Not_Reproducible", "notRep", 148, kStatus, Status, " M s",
     {"GET", kTitled, 2053, 2054, false, ConfirmFields},
     {kFormat, 2053, kNeedUser, 502, nullptr, store::kNotReproducible, nullptr,
      2055, kByUser, Entry::kNone, 0, false}},
    {kActionDuplicate, "Duplicate", "duplicate", 149, kStatus, Status, " s",
     {"GET", kTitled, 2073, 2074, false, DuplicateFields},
     {kFormatText, 2075, kNeedUser, 502, DuplicateCondition, store::kDuplicate, nullptr,
      2076, kTextUser, Entry::kNone, 0, false}},
    {kActionPostpone, "Postpone", "postpone", 150, kStatus, Status, " s",
     {"GET", kTitled, 2077, 2078, false, PostponeFields},
     {kFormatText, 2079, kNeedUser, 510, PostponeCondition, store::kPostponed, SetPostponed,
      2080, kTextUser, Entry::kNone, 0, false}},
    {kActionCorrected, "Corrected", "correct", 151, kStatus, Status, " M V",
     {"POST", kNamedPara, 2089, 2090, false, CorrectedFields},
     {kLabel, 2089, kNeedUser | kNeedVersion, 502, nullptr, store::kCorrected, SetCorrection,
      2095, kUserVersion, Entry::kText, 2096, true}},
    {kActionForVerification, "For_Verification", "forverif", 152, kStatus, Status, " v",
     {"GET", kTitled, 2068, 2069, true, VerifierFields},
     {kFormat, 2071, kNeedSub, 502, VerifierCondition, kStatusUnchanged, SetVerifier,
      2072, kSubUser, Entry::kNone, 0, false}},
    {kActionVerified, "Verified", "verify", 153, kStatus, Status, " M V c",
     {"POST", kNamedPara, 2097, 2115, false, VerifiedFields},
     {kLabel, 2097, kNeedUser | kNeedVersion | kNeedTestOrText, 502, nullptr, store::kVerified,
      SetVerification, 2100, kUserVersion, Entry::kTextOrTest, 2101, true}},
    {kActionRejected, "Rejected", "reject", 154, kStatus, Status, " M V",
     {"POST", kTitled, 2062, 2063, false, ReasonFields<6>},
     {kFormat, 2062, 0, 502, nullptr, store::kNew, nullptr,
      2066, kByUser, Entry::kText, 2067, false}},
    {kActionAbandoned, "Abandoned", "abandon", 155, kStatus, Status, " M s",
     {"POST", kTitled, 2056, 2057, false, ReasonFields<5>},
     {kFormat, 2056, 0, 502, nullptr, store::kAbandoned, nullptr,
      2060, kByUser, Entry::kText, 2061, false}},
    {kNoActionCode, "Print", "print", 156, kPrint, Print, "", {}, {}},
    {kActionEdit, "Edit", "", 2024, kEdit, Edit, " M a", {}, {}},
    {kActionNew, "new", "", 200, kNew, New, " M V", {}, {}},
};
// clang-format on

}  // namespace

std::span<const Action> Actions() {
  return kActions;
}

const Action* FindAction(std::string_view cmd) {
  for (const Action& a : kActions)
    if (a.cmd == cmd) return &a;
  return nullptr;
}

const Action* ActionOfCode(int code) {
  if (code == kNoActionCode) return nullptr;
  for (const Action& a : kActions)
    if (a.code == code) return &a;
  return nullptr;
}

}  // namespace sheets
