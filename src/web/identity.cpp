#include "web/identity.h"

#include "base/request_state.h"

namespace web {
namespace {

constexpr size_t kUidLimit = 99;

struct Identity {
  std::string uid;
};

}  // namespace

void SetCurrentUid(std::string_view text) {
  base::Cache<Identity>().uid.assign(text.substr(0, kUidLimit));
}

const std::string& GetCurrentUid() {
  return base::Cache<Identity>().uid;
}

}  // namespace web
