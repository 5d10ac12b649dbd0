#include "users/uid.h"

#include <ctime>

#include "base/out.h"

namespace users {
namespace {

void AppendShifted(std::string& out, std::string_view text, int shift) {
  for (char c : text) out += static_cast<char>(static_cast<unsigned char>(c) + shift);
}

}  // namespace

std::string MakeUidAt(std::string_view login, std::string_view project, long now) {
  if (login.size() + project.size() > kUidNamesLimit) return "";
  std::string token;
  AppendShifted(token, login, 2);
  token += '#';
  AppendShifted(token, project, 2);
  token += '#';
  token += base::Sprintf("%d", now);
  return token;
}

std::string MakeUid(std::string_view login, std::string_view project) {
  return MakeUidAt(login, project, static_cast<long>(std::time(nullptr)));
}

UidNames DecodeUid(std::string_view token) {
  UidNames names;
  if (!token.empty() && token.front() == ' ') return names;
  size_t first = token.find('#');
  AppendShifted(names.login, token.substr(0, first), -2);
  if (first != std::string_view::npos) {
    std::string_view rest = token.substr(first + 1);
    AppendShifted(names.project, rest.substr(0, rest.find('#')), -2);
  }
  return names;
}

}  // namespace users
