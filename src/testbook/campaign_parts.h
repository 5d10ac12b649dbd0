// Pieces shared by the campaign pages (inside testbook only).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testbook/campaigns.h"
#include "testbook/page_parts.h"

namespace testbook {

// "<A HREF=...CMD=tests...&camp=..&book=n"> " and the icon, to the campaign action `n` at
// `place` (its module, step and test).
void WriteCampaignLink(const BookPlace& place, std::string_view campaign, int action, int icon);

// The keys of a whole book, in ascending order at every level.
struct StepKeys {
  std::string step;
  std::vector<int> tests;
};
struct ModuleKeys {
  std::string mod;
  std::vector<StepKeys> steps;
};
std::vector<ModuleKeys> BookKeys(const BookPlace& place);

// Every result of the campaign counted, per step, module and book.
CampaignCounts CountCampaign(const BookPlace& place, std::string_view campaign);

// The pages.
void CampaignSummary(const BookPlace& place, std::string_view campaign);
// The download: no page head, a header of its own.
void ExportSummary(const BookPlace& place, std::string_view campaign);

}  // namespace testbook
