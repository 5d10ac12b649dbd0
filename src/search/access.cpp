#include "search/access.h"

#include "config/main_config.h"
#include "config/projects.h"
#include "users/rights.h"
#include "users/uid.h"

namespace search {
namespace {

// A users file line is looked at in pieces of this many bytes, its line feed included.
constexpr size_t kLinePiece = 1024;

// True when the piece is a line of `login` whose character after the (n+3)-th ':' is there
// and is not 'Y'.
bool PieceDenies(std::string_view text, std::string_view login, int n) {
  if (text.substr(0, text.find(':')) != login) return false;
  size_t pos = 0;
  for (int counter = -3; counter < n && pos < text.size(); ++pos)
    if (text[pos] == ':') ++counter;
  return pos < text.size() && text[pos] != 'Y';
}

}  // namespace

bool HasRightQuietly(const web::ParamList& params, int n) {
  const std::string& token = web::GetParam(params, "Uid");
  if (token.size() < 2) return true;
  users::UidNames names = users::DecodeUid(token);
  const config::ConfigFile& file = config::ReadConfigFile(users::UsersFilePath(names.project));
  for (const config::ConfigLine& config_line : file.lines) {
    std::string line = config_line.text;
    if (config_line.ended) line += '\n';
    for (size_t start = 0; start < line.size(); start += kLinePiece)
      if (PieceDenies(std::string_view(line).substr(start, kLinePiece), names.login, n))
        return false;
  }
  return true;
}

SheetAccess::SheetAccess(const web::ParamList& params, bool quiet)
    : params_(params), quiet_(quiet), active_(config::IsSecurityOn()) {
  if (active_) uid_project_ = users::DecodeUid(web::GetParam(params, "Uid")).project;
}

bool SheetAccess::Right(std::optional<bool>& slot, int n) {
  if (!slot) {
    if (quiet_)
      slot = HasRightQuietly(params_, n);
    else if (n == 4)
      slot = users::CanSeeEveryProject(params_);
    else
      slot = n == 6 ? users::CanSeeClosedSheets(params_) : users::CanSeeOpenSheets(params_);
  }
  return *slot;
}

bool SheetAccess::MaySee(const store::FactSheet& sheet) {
  if (!active_) return true;
  if (!Right(every_project_, 4) && sheet.project != uid_project_) return false;
  return store::IsOpenStatus(sheet.status) ? Right(open_, 7) : Right(closed_, 6);
}

}  // namespace search
