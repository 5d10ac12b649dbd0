// The identity token (`Uid`) of the current request, carried from page to page.
#pragma once

#include <string>
#include <string_view>

namespace web {

// Keeps at most 99 characters of `text`.
void SetCurrentUid(std::string_view text);
const std::string& GetCurrentUid();

}  // namespace web
