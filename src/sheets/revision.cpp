#include "sheets/revision.h"

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/encode.h"
#include "base/out.h"
#include "config/language.h"
#include "store/store.h"
#include "web/cookies.h"
#include "web/page.h"
#include "web/response.h"

namespace sheets {
namespace {

constexpr std::string_view kField = "Rev";
constexpr int kMsgChangedMeanwhile = 560;
constexpr int kMsgChangesLabel = 561;
constexpr int kMsgAlreadyStored = 562;
constexpr std::string_view kOnceField = "Once";
constexpr size_t kOnceDigits = 24;

// The log's lines, without their line feeds.
std::vector<std::string_view> LogLines(const store::FactSheet& sheet) {
  std::vector<std::string_view> lines;
  std::string_view log = sheet.log;
  while (!log.empty()) {
    size_t end = log.find('\n');
    std::string_view line = log.substr(0, end);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string_view::npos) break;
    log.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

std::string SheetRevision(const store::FactSheet& sheet) {
  std::vector<std::string_view> lines = LogLines(sheet);
  std::string_view last = lines.empty() ? std::string_view() : lines.back();
  return base::Sprintf("%d-%s", static_cast<int>(lines.size()), last.substr(0, last.find(' ')));
}

void WriteRevisionField(const store::FactSheet& sheet, const web::ParamList* kept) {
  const std::string* shown = kept ? web::FindParam(*kept, kField) : nullptr;
  const std::string revision = shown && !web::IsAbsent(*shown) ? *shown : SheetRevision(sheet);
  base::Page("<INPUT TYPE=\"hidden\" NAME=%s VALUE=\"%s\">\n", kField, base::EscapeHtml(revision));
}

bool ChangedSince(const web::ParamList& params, const store::FactSheet& now) {
  const std::string* shown = web::FindParam(params, kField);
  if (!shown || web::IsAbsent(*shown)) return false;
  return *shown != SheetRevision(now);
}

void WriteCollision(const web::ParamList& params, const store::FactSheet& now) {
  web::ErrorBox(kMsgChangedMeanwhile);
  // The lines after those the form saw; all of them when its count is not one of this log.
  const std::string* shown = web::FindParam(params, kField);
  const long seen = shown ? std::strtol(shown->c_str(), nullptr, 10) : 0;
  std::vector<std::string_view> lines = LogLines(now);
  size_t first = seen > 0 && static_cast<size_t>(seen) <= lines.size() ? seen : 0;
  if (seen > 0 && static_cast<size_t>(seen) == lines.size()) first = 0;
  base::Page("<P><B>%s</B>\n<UL>\n", config::Msg(kMsgChangesLabel));
  for (size_t i = first; i < lines.size(); ++i) base::Page("<LI>%s\n", base::EscapeHtml(lines[i]));
  base::Write(nullptr, "</UL>\n");
}

void WriteOnceField() {
  std::random_device random;
  std::string value;
  while (value.size() < kOnceDigits) value += base::Sprintf("%08x", random());
  value.resize(kOnceDigits);
  base::Page("<INPUT TYPE=\"hidden\" NAME=%s VALUE=\"%s\">\n", kOnceField, value);
}

void UseOnceValue(const web::ParamList& params) {
  const std::string* value = web::FindParam(params, kOnceField);
  // Only a value as the forms make them goes into the store's record.
  if (!value || value->size() != kOnceDigits ||
      value->find_first_not_of("0123456789abcdef") != std::string::npos)
    return store::UseFormValue({});
  store::UseFormValue(*value);
}

bool WriteIfAlreadyStored() {
  const std::string& name = store::FormStoredAs();
  if (name.empty()) return false;
  web::ErrorBoxArg(kMsgAlreadyStored, name);
  base::Page("<P><A HREF=\"?Num=%s%s\">%s</A>\n", web::QueryValue(name), web::UidSuffix(),
             base::EscapeHtml(name));
  return true;
}

}  // namespace sheets
