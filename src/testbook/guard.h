// Who may change a test book, and who is named as having changed it.
#pragma once

#include <string>
#include <string_view>

#include "web/params.h"

namespace testbook {

// With security on, saves and deletions in a book are for the members of the book's project:
// the login the request's `Uid` names must have a line in the project's users file. With
// security off everyone may change every book. The one place where this is decided.
bool MayChangeBook(const web::ParamList& list, std::string_view project);

// With security on, the books and campaigns of a project are for the readers of that
// project (as its sheets are); the list of books for a reader known by a valid token.
bool MayReadBook(const web::ParamList& list, std::string_view project);
bool MayReadBooks(const web::ParamList& list);

// The login named in journal lines: the `Uid`'s login, else the remembered user, else
// `fallback`.
std::string ActingLogin(const web::ParamList& list, std::string_view fallback);

}  // namespace testbook
