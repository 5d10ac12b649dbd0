// The diagnostic files of a request (the body copy, the trace, the query log): readable by
// the owner only, replaced whole, and never holding a password.
#pragma once

#include <string>
#include <string_view>

#include "web/params.h"

namespace web {

// The parameters whose values the diagnostic files never hold; they show as "*****".
bool IsSecretName(std::string_view name);
inline constexpr std::string_view kMaskedValue = "*****";
// The diagnostic files and the parameter dump keep at most this many bytes of each value.
inline constexpr size_t kDiagnosticValueLimit = 4096;

// A url-encoded text ("name=value&..."): the values of secret names masked up to their line
// end, which is kept; every other value cut at kDiagnosticValueLimit bytes.
std::string MaskQuery(std::string_view text);

// A multipart body whose first line is the boundary: the content of every part named by a
// secret name masked.
std::string MaskMultipartBody(std::string_view body);

// The multipart lines of the trace: the value line ("-->...") and length line after
// "nom->" of a secret name masked.
std::string MaskMultipartTrace(std::string_view trace);

// The text "name=value&..." the multipart parser rebuilds from `list`, secrets masked, cut
// at `limit` characters.
std::string RebuildMasked(const ParamList& list, size_t limit);

// Rewrites a diagnostic file in place, for its owner alone and never through a symbolic
// link; a failure is silent.
void WriteDiagnostic(const std::string& path, std::string_view content);

}  // namespace web
