#include "testbook/guard.h"

#include "config/main_config.h"
#include "config/projects.h"
#include "users/rights.h"
#include "users/uid.h"
#include "users/user_context.h"

namespace testbook {
bool MayChangeBook(const web::ParamList& list, std::string_view project) {
  return users::MayChangeProject(list, project);
}

bool MayReadBook(const web::ParamList& list, std::string_view project) {
  return users::MayReadProject(list, project);
}

bool MayReadBooks(const web::ParamList& list) {
  if (!config::IsSecurityOn()) return true;
  std::optional<users::UidNames> names = users::ReadIdentity(list);
  return names && users::MayReadProject(list, names->project);
}

std::string ActingLogin(const web::ParamList& list, std::string_view fallback) {
  std::string login = users::DecodeUid(web::GetParam(list, "Uid")).login;
  if (login.empty()) login = users::GetUserName();
  if (login.empty()) login = fallback;
  return login;
}

}  // namespace testbook
