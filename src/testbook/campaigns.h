// Campaigns: named runs of a test book holding one result per test, their pages (CMD=tests),
// the counting behind the campaign summary, and its tab-separated download.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testbook/records.h"
#include "web/params.h"

namespace testbook {

// `CMD=tests`: the page that `book` selects, or the campaign navigator.
void CampaignPage(web::ParamList& list);
// Whether a CMD=tests request stores (a new campaign, a result).
bool CampaignRequestChanges(const web::ParamList& list);

// A campaign name as typed, as it is stored: every '/' made '-'. Empty when the result
// cannot be a campaign folder inside the book: empty or beginning with a blank, longer than
// kMaxCampaignName, holding '\', control characters or "..", or beginning with a dot. Other
// dots are kept: the default names are dates written with dots.
inline constexpr size_t kMaxCampaignName = 80;
std::string CheckedCampaignName(std::string_view typed);

// The default name of a new campaign: the date text of `time` with every character that is
// not a digit made a dot (year.month.day.hour.minute.second).
std::string DefaultCampaignName(long time);

// The references typed in the result form: pieces between commas, blanks, tabs and line
// ends; pieces of 7 characters or more, the last typed first.
std::vector<std::string> ParseSheetReferences(std::string_view typed);

// The counters of a step (over its tests), a module (over its steps) or the whole book (over
// its modules).
struct CampaignCounts {
  std::string name;
  int children = 0;
  int tests = 0;
  int applicable = 0;  // not NA; a test without result is NT, so applicable
  int executed = 0;    // applicable with a verdict: OK or NOK
  int passed = 0;      // OK
  std::vector<CampaignCounts> parts;

  void CountResult(int code);
  void Add(CampaignCounts part);  // adds the part's numbers and keeps it
  // 100 * part / whole in integer division; 0 when the whole is 0.
  int ExecutedPercent() const;
  int PassedPercent() const;
  int SuccessPercent() const;
};

// A book as data, for the machine interface: its modules, steps and tests with their titles,
// in ascending order at every level.
struct TreeTest {
  int number = 0;
  std::string title;
};
struct TreeStep {
  std::string id;
  std::string title;
  std::vector<TreeTest> tests;
};
struct TreeModule {
  std::string id;
  std::string title;
  std::vector<TreeStep> steps;
};
std::vector<TreeModule> BookTree(std::string_view project, std::string_view group, int phase);
// The campaigns of the book, in ascending order.
std::vector<std::string> BookCampaigns(std::string_view project, std::string_view group, int phase);
// Every test of the book with its result in the campaign (`given`: a result is stored).
struct TestVerdict {
  std::string mod;
  std::string step;
  int number = 0;
  bool given = false;
  ResultRecord result;
};
std::vector<TestVerdict> CampaignVerdicts(std::string_view project, std::string_view group,
                                          int phase, std::string_view campaign);

}  // namespace testbook
