// The machine interface: a JSON API for scripts and CI (CMD=api, docs/api.md) and Atom feeds
// of the journal (CMD=feed). A key acts as its member: it becomes the member's identity token,
// and every call passes the gate row of the page that does the same thing, then runs that
// page's own code.
#pragma once

#include "web/params.h"

namespace front {

// CMD=api&v=1&call=...
void ApiCommand(web::ParamList& list);

// CMD=feed&project=P (a project's journal) or CMD=feed&Num=S (a sheet's).
void FeedCommand(web::ParamList& list);

}  // namespace front
