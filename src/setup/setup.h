// Setup: the installation check and wizard of a fresh installation, the directory upgrade
// that follows every home page, and the editor of every configuration file (CMD=setup).
#pragma once

#include <string>

#include "web/params.h"

namespace setup {

// CMD=setup: `Edit` chooses the file (1 to 10, 12 the wizard); a `text` field of at least
// two characters marks a submitted form, which is saved.
void SetupCommand(web::ParamList& list);
// Whether a CMD=setup request saves something (a submitted form, a wizard step, a shared
// secret) rather than showing a page.
bool SetupRequestChanges(const web::ParamList& list);

// 0 when the main configuration file can be opened. Otherwise writes the wizard's first
// page and returns 1 (no path) or 2 (the file cannot be opened).
int CheckInstallation(const web::ParamList& list);

// One step of the wizard (`Wizzard` 1 to 11): saves what the previous page submitted and
// shows the next page. Returns the query of the page that shows the step once stored (`Done`),
// for the browser to be sent on to; empty when nothing was stored.
std::string RunWizardStep(const web::ParamList& list);

// Creates a directory, its missing parents first, writing one report row for each
// directory created; true on success (an existing directory counts as success).
bool MakeDirectory(const std::string& path);

// Creates, when missing, the folders newer versions need: Tests/ and tmp/ of the data
// directory, and the synchronisation folder with its in/ and out/.
void UpgradeDirectories();

}  // namespace setup
