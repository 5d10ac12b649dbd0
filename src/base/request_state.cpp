#include "base/request_state.h"

namespace base {

RequestState& CurrentRequest() {
  static RequestState state;
  return state;
}

void ResetRequestState() {
  CurrentRequest().Clear();
}

}  // namespace base
