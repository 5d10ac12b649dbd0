// The home page with the menu of the main functions, and the help page.
#pragma once

#include <string>
#include <string_view>

#include "web/params.h"

namespace front {

// The static help folder beside the image folder: the image directory without its trailing
// '/' and its last component, then "/help/".
std::string HelpFolder(std::string_view image_dir);

void WriteHomePage(const web::ParamList& list);
void WriteHelpPage(web::ParamList& list);

}  // namespace front
