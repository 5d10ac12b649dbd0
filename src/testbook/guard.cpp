#include "testbook/guard.h"

#include "config/main_config.h"
#include "config/projects.h"
#include "users/rights.h"
#include "users/uid.h"
#include "users/user_context.h"

namespace testbook {
namespace {

// The login of a users file line: the text up to the first ':', blank or tab.
std::string_view LoginOfLine(std::string_view line) {
  size_t end = line.find_first_of(": \t\r");
  return line.substr(0, end);
}

}  // namespace

bool MayChangeBook(const web::ParamList& list, std::string_view project) {
  if (!config::IsSecurityOn()) return true;
  const std::string login = users::DecodeUid(web::GetParam(list, "Uid")).login;
  if (login.empty()) return false;
  for (const config::ConfigLine& line :
       config::ReadConfigFile(users::UsersFilePath(project)).lines) {
    if (config::IsCommentLine(line.text)) continue;
    if (LoginOfLine(line.text) == login) return true;
  }
  return false;
}

std::string ActingLogin(const web::ParamList& list, std::string_view fallback) {
  std::string login = users::DecodeUid(web::GetParam(list, "Uid")).login;
  if (login.empty()) login = users::GetUserName();
  if (login.empty()) login = fallback;
  return login;
}

}  // namespace testbook
