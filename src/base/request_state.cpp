#include "base/request_state.h"

namespace base {

RequestState& CurrentRequest() {
  // Never destroyed: the process ends with its request, and freeing every cache on the way
  // out only cost time (a tenth of a page's instructions).
  union Holder {
    Holder() : state() {}
    ~Holder() {}
    RequestState state;
  };
  static Holder holder;
  return holder.state;
}

void ResetRequestState() {
  CurrentRequest().Clear();
}

}  // namespace base
