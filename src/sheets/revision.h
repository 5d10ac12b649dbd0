// Mid-air collisions: every form that changes a sheet carries the sheet's revision as the
// form showed it, and the commit compares it with the sheet as it is under the store lock.
// A sheet's revision is its number of log lines and the date of its last one: every stored
// change logs a line, so two different revisions mean someone stored a change in between.
//
// One submit per form: every creation and change form carries a random one-time value; the
// store records it with the change, and refuses a second change with the same value (the
// back button and a second press of the submit button).
#pragma once

#include <string>
#include <string_view>

#include "store/sheet.h"
#include "web/params.h"

namespace sheets {

// The revision of `sheet`: "<number of log lines>-<date of the last line>".
std::string SheetRevision(const store::FactSheet& sheet);

// The hidden field that carries the revision of the sheet a form shows.
// With `kept`, the revision that request carries instead, when it has one (a form posted back
// to itself is still the form first shown).
void WriteRevisionField(const store::FactSheet& sheet, const web::ParamList* kept = nullptr);

// Whether the sheet changed since the form of the request showed it. A request without a
// revision (a page from before revisions were carried) is taken as current.
bool ChangedSince(const web::ParamList& params, const store::FactSheet& now);

// The refusal of a commit on a sheet that changed: the error box, then the log lines
// stored since the form was shown. The form written after it carries the current revision,
// so submitting it again applies it to the sheet as it is now.
void WriteCollision(const web::ParamList& params, const store::FactSheet& now);

// The hidden field of a new one-time value.
void WriteOnceField();

// Hands the request's one-time value to the store for the storing call that follows.
void UseOnceValue(const web::ParamList& params);

// After a storing call that did not store: when its form had been stored before, writes the
// error box naming the sheet it was stored as, with a link to it, and returns true.
bool WriteIfAlreadyStored();

}  // namespace sheets
