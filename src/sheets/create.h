// Creation of a fact sheet: the form (CMD=create) and the handler it posts to (CMD=new),
// which validates the input, builds and shows the sheet, stores it, mails it and remembers
// the user's choices.
#pragma once

#include "store/sheet.h"
#include "web/params.h"

namespace sheets {

// The creation form, its lists pre-set from the remembered user context; only for users
// with the creation right.
void ShowCreateForm(const web::ParamList& params);

// Stores a new sheet from the form's fields and writes the resulting page. 0 when a
// required field was missing (the page then ends with the error box), else 1.
int StoreNewSheet(const web::ParamList& params);

// 1 when every required field is present, else 0 after writing the error box naming the
// first missing one.
int ValidateNewSheet(const web::ParamList& params);

// 1 when the project of the request is listed and its sub-project, program, version (when
// the request has one) and phase are the project's, else 0 after writing the error box naming
// the first that is not. `kept`: the sheet being changed, whose own values stay acceptable
// while its project stays (a list edited since must not block a change of the title).
int ValidatePlace(const web::ParamList& params, const store::FactSheet* kept = nullptr);

// Copies the form's fields into a fresh sheet.
void FillNewSheet(const web::ParamList& params, store::FactSheet& sheet);

}  // namespace sheets
