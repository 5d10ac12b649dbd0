// Diagnostics meant for the administrator. The comments that show paths, addresses or the
// dialogue with the mail servers go into the page only with "DEBUG YES" in quorb.cfg; a
// failure the administrator must hear of also goes to standard error, which the web server
// keeps in its error log.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "base/out.h"
#include "config/main_config.h"

namespace config {

// Writes the formatted comment into the page when DEBUG is on; nothing otherwise.
template <typename... Args>
void DebugPage(std::string_view format, const Args&... args) {
  if (IsDebugOn()) base::Page(format, args...);
}

// A line for the web server's error log: "quorb: <text>".
void LogToServer(std::string_view text);

// A failure: `text` to the error log, and the formatted comment into the page with DEBUG on.
template <typename... Args>
void ReportFailure(std::string_view text, std::string_view format, const Args&... args) {
  LogToServer(text);
  DebugPage(format, args...);
}

}  // namespace config
