// The request parameter list and its lookups.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace web {

struct Param {
  std::string name;   // raw, never decoded
  std::string value;  // decoded
};

// Parameters in the reverse of the request's order: front() is the head, so when a name
// occurs twice the occurrence that came last in the request is found first.
using ParamList = std::vector<Param>;

// The value of the first parameter named `name`, or null when the request has none (a
// field sent as " " is there).
const std::string* FindParam(const ParamList& list, std::string_view name);

// The value of the first parameter named `name`, or " " (one blank) when there is none.
// Callers treat a value beginning with a blank as absent.
const std::string& GetParam(const ParamList& list, std::string_view name);

// The value of the first parameter named `name`, or "" when there is none.
const std::string& ValueOrEmpty(const ParamList& list, std::string_view name);

// The value of a form field; empty when the request does not carry it or it reads as
// absent (begins with a blank).
std::string FieldValue(const ParamList& list, std::string_view name);

// The leading decimal number of GetParam, as atoi reads it (0 when absent or not a number).
int GetParamInt(const ParamList& list, std::string_view name);

// True when `value` counts as absent: it begins with a blank.
inline bool IsAbsent(std::string_view value) {
  return !value.empty() && value.front() == ' ';
}

// True when a required value counts as missing: absent, or empty (a text input left empty
// is sent as an empty value).
inline bool IsMissing(std::string_view value) {
  return value.empty() || IsAbsent(value);
}

// Puts a parameter at the head of the list and notes it in the page as a comment.
void AddParam(ParamList& list, std::string_view name, std::string_view value);

}  // namespace web
