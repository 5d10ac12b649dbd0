// Helpers shared by the files of the synchronisation.
#pragma once

#include <string>
#include <string_view>

namespace synch {

// "<synchro>/out/<project>" and "<synchro>/in/<project>".
std::string OutFolder(std::string_view project);
std::string InFolder(std::string_view project);

// n of a message name "s%05d.txt" (exactly five digits); 0 for any other name.
int MessageNumber(std::string_view name);

// The partner addresses of the project; empty when it is not synchronised.
std::string PartnersOf(std::string_view project);

}  // namespace synch
