#include "search/access.h"

#include "config/main_config.h"
#include "config/projects.h"
#include "users/rights.h"
#include "users/uid.h"

namespace search {

bool HasRightQuietly(const web::ParamList& params, int n) {
  return users::CheckRightQuietly(params, n);
}

SheetAccess::SheetAccess(const web::ParamList& params, bool quiet)
    : params_(params), quiet_(quiet), active_(config::IsSecurityOn()) {
  if (!active_) return;
  if (std::optional<users::UidNames> names = users::ReadIdentity(params))
    uid_project_ = names->project;
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
  return MaySee(sheet.project, sheet.status);
}

void SheetAccess::Settle() {
  if (!active_) return;
  Right(every_project_, 4);
  Right(open_, 7);
  Right(closed_, 6);
}

bool SheetAccess::MaySee(std::string_view project, int status) {
  if (!active_) return true;
  if (!Right(every_project_, 4) && project != uid_project_) return false;
  return store::IsOpenStatus(status) ? Right(open_, 7) : Right(closed_, 6);
}

}  // namespace search
