// The program's entry: decode the request, then the home page or the dispatch.
#pragma once

#include "web/params.h"

namespace front {

// Runs one request; always returns 0.
int Main(int argc, char** argv);

// True for the home road: no parameter, or only `Uid`.
bool IsHomeRequest(const web::ParamList& list);

// The dispatch road: every CMD, find, Numero and Num node in list order, then the
// parameter dump when a CMD value was unknown.
void Dispatch(web::ParamList& list);

}  // namespace front
