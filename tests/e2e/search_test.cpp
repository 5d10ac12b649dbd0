// The search through the CGI: quick access and criteria over a small store, the order of the
// hits, the full text, the anchors of the list, the export read by Python's csv module, the
// printed index handed to a stand-in print command, and the rights with security on.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "base/encode.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/projects.h"
#include "harness.h"
#include "search/find.h"
#include "search/results.h"
#include "store/index.h"
#include "store/store.h"
#include "web/request.h"

namespace {

using namespace e2e;
using Names = std::vector<std::string>;

// Creates a sheet of TEST/GUI phase Analysis ("TaG.<n>"), changed by `edit` first.
void Add(const Installation& inst, const std::function<void(store::FactSheet&)>& edit,
         int first = 1) {
  InProcess req(inst);
  store::FactSheet s;
  s.project = "TEST", s.group = "GUI", s.subCode = "G", s.submitter = "kolvar";
  s.prog = "prog1", s.version = "1.0", s.sev = 2, s.title = "title";
  store::AddEntry(s, "Description", "kolvar", 0, "Some text.\n");
  edit(s);
  ASSERT_EQ(store::CreateSheet(s, first), store::Stored::kOk);
}

long Date(const Installation& inst, const std::string& text) {
  InProcess req(inst);
  return search::ParseSearchDate(text);
}

// The names of the result list, in its order.
Names ListedNames(const std::string& page) {
  Names names;
  for (size_t at = 0; (at = page.find("<A HREF=#", at)) != std::string::npos;) {
    size_t start = page.find('>', at) + 1;
    at = page.find("</A>", start);
    names.push_back(page.substr(start, at - start));
  }
  return names;
}

// Four sheets: TaG.00001 "B title" new kolvar, TaG.00002 "A title" new tessin, TaG.00003
// "C title" corrected kolvar with a change request, TaG.00004 "A title" observed, sev 3.
// Created on the edges of the search form's default window.
void WriteFourSheets(const Installation& inst) {
  WriteSampleProject(inst);
  long from = Date(inst, "31/12/1998:12.00.00"), to = Date(inst, "31/12/2010:12.00.00");
  const struct {
    std::string title, resp;
    int status, sev;
    long created;
    std::string mdapda, text;
  } kSheets[] = {
      {"B title", "kolvar", store::kNew, 2, from, "", "Some text.\n"},
      {"A title", "tessin", store::kNew, 2, to, "", "first\n\nhidden phrase\n"},
      {"C title", "kolvar", store::kCorrected, 1, to + 1, "CR-1",
       std::string(3000, 'x') + "needle\n"},
      {"A title", "", store::kObserved, 3, from - 1, "", "Some text.\n"},
  };
  for (const auto& k : kSheets) {
    Add(inst, [&](store::FactSheet& s) {
      std::tie(s.title, s.resp, s.status, s.sev, s.mdapda, s.entries[0].text) =
          std::tie(k.title, k.resp, k.status, k.sev, k.mdapda, k.text);
      s.created = static_cast<int>(k.created);
    });
  }
}

// Criteria and quick access over four sheets, the order of the hits, the full text; the
// printed index, the export read by Python's csv module, and the summary and anchors of a
// list whose sheet is missing.
TEST(Search, CriteriaPrintExportAndSummaryOverFourSheets) {
  Installation inst;
  WriteFourSheets(inst);
  // A file outside the data directory with a sheet's name must never be shown.
  inst.Write("TaG.00001", "G|1|a|0|intruder||TEST|GUI|||||a|0|||0|||0||a|a|||0|0|OUTSIDE\n");
  const std::string all = "CMD=find&resp=all&statN=X&statS=X&statC=X";
  const std::pair<std::string, Names> cases[] = {
      {"CMD=find&resp=all", {}},  // no status box ticked
      {all, {"TaG.00001", "TaG.00002", "TaG.00003", "TaG.00004"}},
      {"find=TaG.00001+TaG.00003", {"TaG.00001", "TaG.00003"}},
      {"find=00001", {}},
      {"Num=TaG.00002", {"TaG.00002"}},
      {"Num=../TaG.00001", {"TaG.00001"}},
      {"Numero=%2E%2E%2F..%2Fetc%2Fpasswd", {}},
      {"CMD=find&statN=X&statS=X&statC=X", {}},  // no resp: nothing
      {"CMD=find&resp=kolvar&statN=X&statS=X&statC=X", {"TaG.00001", "TaG.00003"}},
      {all + "&sort=0", {"TaG.00001", "TaG.00002", "TaG.00004", "TaG.00003"}},  // by status
      {all + "&sort=4", {"TaG.00004", "TaG.00002", "TaG.00001", "TaG.00003"}},  // newest first
      {all + "&ival=1&between=31/12/1998:12.00.00&and=31/12/2010:12.00.00",
       {"TaG.00001", "TaG.00002"}},
      {all + "&intext=hidden+phrase", {"TaG.00002"}},  // after the first empty line
      {all + "&intext=xxneedle", {"TaG.00003"}},       // past 1022 characters of a line
      {all + "&intext=", {"TaG.00001", "TaG.00002", "TaG.00003", "TaG.00004"}},
      {all + "&adType=1", {"TaG.00003"}},
      {all + "&adType=2", {"TaG.00001", "TaG.00002", "TaG.00004"}},
      {all + "&sev=3&intitle=title", {"TaG.00004"}},
      {all + "&project=%A0&group=GUI&phase=a&prog=prog1",
       {"TaG.00001", "TaG.00002", "TaG.00003", "TaG.00004"}},
      {all + "&project=OTHER", {}},
  };
  for (const auto& [query, names] : cases) {
    CgiResult r = inst.Get(query);
    EXPECT_EQ(ListedNames(r.out), names) << query;
    EXPECT_FALSE(Has(r.out, "OUTSIDE")) << query;
    EXPECT_TRUE(r.out.starts_with(kHtmlHeader)) << query;
  }

  // The list alone: the same names, each linking to its sheet's page, and no sheet in full.
  for (const bool lean : {false, true}) {
    const std::string page = inst.Get(all + (lean ? "&aff_list=AL" : "")).out;
    EXPECT_EQ(ListedNames(page).size(), lean ? 0u : 4u);
    EXPECT_EQ(Count(page, "<A HREF=\"/cgi-bin/quorb.cgi?Num=TaG.0000"), lean ? 4 : 0);
    EXPECT_EQ(Has(page, "<A HREF=\"/cgi-bin/quorb.cgi?Num=TaG.00003\">TaG.00003</A>"), lean);
    EXPECT_EQ(Count(page, "<a name="), lean ? 0 : 4) << lean;
  }

  // The printed index goes to the print command as a file of the system's own naming; no
  // request text reaches its command line.
  InstallPrintStandIn(inst);
  std::string page = inst.Get("Print=yes&find=TaG.00004;touch+x&aff_mdapda=AM").out;
  EXPECT_TRUE(Has(page, "<PRE>\nIndex of the 1 reports \n\nTaG.00004  3  Obs    A title\n"))
      << page;
  std::string args = inst.Read("args.txt");
  EXPECT_TRUE(args.starts_with(inst.Path("data/tmp/quorb."))) << args;
  EXPECT_FALSE(Has(args, "touch"));
  for (const std::string& name : inst.List("data/tmp")) EXPECT_FALSE(name.ends_with(".prt"));

  // The export.
  Add(inst, [](store::FactSheet& s) {
    s.title = "tab\there | bar";
    s.test = "\"quoted\" ref";
    s.prog = "p\rq";
  });
  CgiResult r = inst.Get("CMD=find&resp=all&statN=X&excel=X&aff_crit=AC&sort=1");
  const std::string header =
      "Content-type: application/octet-stream\n"
      "Content-Disposition: attachment; filename=\"bugs.dat\"\n" E2E_PROTECTIVE "\n";
  ASSERT_TRUE(r.out.starts_with(header)) << r.out;
  EXPECT_FALSE(Has(r.out, "<"));
  // Times never set are empty.
  EXPECT_EQ(Python(inst,
                   "import csv, sys\n"
                   "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='latin-1'),"
                   " dialect='excel-tab'))\n"
                   "print(len(rows), sorted(set(len(r) for r in rows)))\n"
                   "print('|'.join(rows[-1]))\n",
                   r.out.substr(header.size())),
            "4 [28]\nT|G|00005|Analysis||kolvar|Major|TEST|GUI|p q|1.0||New|||||||||None|Low||"
            "\"quoted\" ref|0|0|tab here | bar\n");

  // A missing sheet still has its anchor and bar.
  std::filesystem::remove(inst.Path("data/TaG.00001"));
  page = inst.Get("CMD=find&resp=all&statN=X&statS=X&aff_crit=AC&intitle=tit").out;
  EXPECT_EQ("", Missing(page, {"<H2>Search criteria</H2>Text in the title : 'tit'<br>\n"
                               "Status = NewObserved\n<BR>\n<HR>",
                               "<H2>3 fact sheet(s) found</H2>",
                               "Unable to read the fact sheet TaG.00001 <BR>"}));
  // Anchor i is followed by the bar of hit i, the missing sheet's included.
  Names names = ListedNames(page);
  ASSERT_EQ(names.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    size_t anchor = page.find(base::Sprintf("<a name=%05d>", i));
    ASSERT_NE(anchor, std::string::npos);
    EXPECT_EQ(page.find("&Num=" + names[i], anchor), page.find("&Num=", anchor)) << i;
  }
}

// The quick view of one name reads that sheet's own file, but finds, as the whole index does,
// every sheet whose name the text holds: here "aG.00001" of a project without a code is in
// "TaG.00001". A file holding another sheet's first line is never shown under its file name.
TEST(Search, QuickViewFindsEveryNameTheTextHolds) {
  Installation inst;
  WriteSampleProject(inst, "BARE::kolvar:tessin\n");
  inst.Write("config/BARE_subproject.cfg", "GUI:G\n");
  Add(inst, [](store::FactSheet&) {});
  Add(inst, [](store::FactSheet& s) { s.project = "BARE"; });
  ASSERT_TRUE(inst.Exists("data/aG.00001"));
  inst.Write("data/TaG.00002", inst.Read("data/aG.00001"));
  // A number of six digits is no name of five digits it begins with.
  Add(
      inst, [](store::FactSheet&) {}, 12500);
  Add(
      inst, [](store::FactSheet&) {}, 125000);
  Add(
      inst, [](store::FactSheet&) {}, 130000);
  const std::pair<std::string, Names> cases[] = {
      {"Num=TaG.00001", {"TaG.00001", "aG.00001"}},
      {"Num=aG.00001", {"aG.00001"}},
      {"Num=TaG.00002", {}},
      {"Num=TaG.125000", {"TaG.125000"}},
      {"find=TaG.12500+TaG.125000", {"TaG.12500", "TaG.125000"}},
      {"Num=TaG.130000", {"TaG.130000"}},
  };
  for (const auto& [query, names] : cases)
    EXPECT_EQ(ListedNames(inst.Get(query).out), names) << query;
}

// The export keeps a small key per hit rather than the hit: its rows come in the order the
// list has for every sort, names of six digits, ties and a sheet changed since included.
TEST(Search, ExportFollowsTheListsOrderForEverySort) {
  Installation inst;
  WriteSampleProject(inst);
  const struct {
    int first, status, sev, impact;
    std::string resp, group, title;
  } kSheets[] = {{1, 2, 3, 1, "tessin", "GUI", "b"},      {100000, 0, 3, 0, "kolvar", "GUI", "a"},
                 {20000, 2, 1, 1, "kolvar", "Core", "b"}, {7, 0, 3, 0, "tessin", "Core", "c"},
                 {2, 2, 3, 1, "kolvar", "GUI", "a"},      {99999, 9, 0, 1, "", "GUI", "d"}};
  for (const auto& k : kSheets)
    Add(
        inst,
        [&k](store::FactSheet& s) {
          s.status = k.status, s.sev = k.sev, s.impact = k.impact, s.resp = k.resp;
          s.group = k.group, s.subCode = k.group == "GUI" ? "G" : "C", s.title = k.title;
        },
        k.first);
  inst.Get("CMD=Observed&Num=TaG.00001&User=kolvar&submitter=tessin");  // written again
  const std::string query =
      "CMD=find&resp=all&statN=X&statS=X&statA=X&statO=X&statP=X&statC=X&sort=";
  for (const char* sort : {"0", "1", "2", "3", "4", ""}) {
    SCOPED_TRACE(sort);
    const Names listed = ListedNames(inst.Get(query + sort).out);
    ASSERT_EQ(listed.size(), std::size(kSheets));
    Names exported;
    for (const std::string& row : e2e::Lines(inst.Get(query + sort + "&excel=X").out)) {
      std::vector<std::string> cells;
      for (std::string_view rest = row;;) {
        cells.emplace_back(rest.substr(0, rest.find('\t')));
        if (rest.find('\t') == std::string_view::npos) break;
        rest.remove_prefix(rest.find('\t') + 1);
      }
      if (cells.size() > 3 && (cells[3] == "Analysis" || cells[3] == "Tests"))
        exported.push_back("T" + std::string(cells[3] == "Analysis" ? "a" : "s") + cells[1] + "." +
                           cells[2]);
    }
    EXPECT_EQ(exported, listed);
  }
}

// The row of a sheet as the export has always written it: each field through TsvField but
// the numbers.
std::string ReferenceRow(const store::FactSheet& s) {
  auto date = [](int t) { return t == 0 ? std::string() : store::FormatDate(t); };
  const std::string fields[] = {s.subCode,
                                base::Sprintf("%05d", s.number),
                                config::GetPhaseName(s.phase),
                                date(s.created),
                                s.submitter,
                                config::GetSeverityLabel(s.sev),
                                s.project,
                                s.group,
                                s.prog,
                                s.version,
                                s.exp,
                                store::GetStatusLabel(s.status),
                                date(s.postponed),
                                s.resp,
                                s.corrector,
                                date(s.corrDate),
                                s.corrVers,
                                s.verifier,
                                date(s.verDate),
                                s.verVers,
                                config::GetTypeLabel(s.type),
                                config::GetImpactName(s.impact),
                                s.mdapda,
                                s.test,
                                std::to_string(s.corrLoad),
                                std::to_string(s.Load),
                                s.title};
  std::string row = base::TsvField(config::GetProjectCode(s.project));
  for (size_t k = 0; k < std::size(fields); ++k) {
    const bool number = k == 1 || k == 24 || k == 25;
    row += '\t' + (number ? fields[k] : base::TsvField(fields[k]));
  }
  return row + '\n';
}

// The export in the sort's order writes, for every sort, security off and on (two members'
// rights over two projects) and with criteria, the rows of the result list's hits in the
// list's order: equal names (two sub-projects without a code) most recently written first,
// no row for names that are no sheet names, fields beyond their capacity, formula and quote
// characters, tabs and carriage returns, NUL bytes, codes without labels, short lines,
// numbers of any width and dates on both sides of the changes of summer time. Enough hits
// that the rows are made on two threads.
TEST(Search, ExportInOrderWritesTheListsRows) {
  constexpr std::string_view kEveryStatus =
      "&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X&statD=X&statB=X&statR=X&statP=X&statT=X";
  SampleInstallation inst;
  inst.WriteProjects("TEST:T:kolvar:tessin\nOTHER:O:kolvar:tessin\n");
  inst.Write("config/OTHER_subproject.cfg", "GUI:G\n");
  const std::string base =
      "G|1|a|946681200|kolvar|c|TEST|GUI|prog1|1.0|2.0|a|0|kolvar||0||||0||b|a|||0|1|";
  auto line = [&base](std::map<int, std::string> set, const std::string& title) {
    std::vector<std::string> fields;
    for (std::string_view rest = base; !rest.empty(); rest.remove_prefix(rest.find('|') + 1))
      fields.emplace_back(rest.substr(0, rest.find('|')));
    std::string out;
    for (size_t k = 0; k < fields.size(); ++k)
      out += (set.count(static_cast<int>(k)) ? set[static_cast<int>(k)] : fields[k]) + '|';
    return out + title + '\n';
  };
  std::string index;
  const std::string statuses[] = {"a", "b", "e", "f", "j", "k"};
  for (int i = 0; i < 17000; ++i)
    index += line({{1, std::to_string(i % 9000 + 1)},
                   {2, i % 3 ? "a" : "s"},
                   {3, std::to_string(1711846800 - 3600 * 12 + 997L * i)},
                   {6, i % 5 ? "TEST" : "OTHER"},
                   {7, i % 2 ? "GUI" : "Core"},
                   {11, statuses[i % 6]},
                   {13, i % 4 ? "kolvar" : "tessin"},
                   {21, i % 7 ? "a" : "b"}},
                  "title " + std::to_string(i));
  const std::string long_text(60, 'L');
  for (const std::string& odd : {
           line({{7, "X1"}, {1, "7"}}, "same name, older"),
           line({{7, "X2"}, {1, "7"}}, "same name, newer"),
           line({{1, "-3"}}, "no sheet name"),
           line({{6, "BAD.P"}}, "no sheet name either"),
           line({{1, "123456"}, {4, "=cmd"}, {13, "@x"}, {8, "p\tq"}}, "six digits"),
           line({{1, "0012345"}, {9, "\"q\""}, {10, "-1"}, {7, long_text}}, std::string(300, 't')),
           line({{1, "abc"}, {5, "_"}, {11, "z"}, {2, "q"}, {21, "\x80"}}, "odd codes\r"),
           line({{3, "1711846799"}, {12, "1711846800"}, {15, "1729990799"}, {18, "1729990800"}},
                "summer time"),
           line({{3, "-1"}, {12, "2147483647"}, {24, "007"}, {25, "-4"}, {22, long_text}}, "ends"),
           line({{6, std::string("TE\0ST", 5)}, {14, "+c"}}, "nul"),
           std::string("G|77|a\n"),
       })
    index += odd;
  inst.Write("data/index", index);

  auto exported = [&inst](const std::string& query, bool in_order) {
    InProcess request(inst, {{"QUERY_STRING", query}, {"REQUEST_METHOD", "GET"}});
    const web::ParamList params = web::ParseRequest(nullptr);
    return CaptureStdout([&] {
      if (in_order) {
        EXPECT_TRUE(search::ExportInOrder(params)) << query;
        return;
      }
      search::FoundList hits = search::FindSheets(params);
      search::SortFound(hits, search::CompareFor(web::GetParam(params, "sort")));
      std::string rows;
      for (int n = 2400; n <= 2427; ++n)
        rows += base::TsvField(config::Msg(n)) + (n < 2427 ? '\t' : '\n');
      for (const search::FoundSheet& hit : hits) {
        if (!store::IsSheetName(hit.name)) continue;
        store::FactSheet sheet;
        store::ParseHeader(hit.line, sheet);
        rows += ReferenceRow(sheet);
      }
      base::Write(nullptr, rows);
    });
  };
  const std::string all = "CMD=find&excel=X&resp=all" + std::string(kEveryStatus);
  // Security off: every sort, with and without criteria; on: two members' rights.
  std::vector<std::string> queries;
  for (std::string sort : {"", "&sort=0", "&sort=1", "&sort=2", "&sort=3", "&sort=4"}) {
    queries.push_back(all + sort);
    queries.push_back("CMD=find&excel=X&resp=kolvar&sev=2" + std::string(kEveryStatus) + sort);
  }
  for (const std::string& reader :
       {EncodedToken(inst, "kolvar", "TEST"), EncodedToken(inst, "tessin", "OTHER")})
    for (std::string sort : {"", "&sort=2", "&sort=4"})
      queries.push_back(all + sort + "&Uid=" + reader);
  // `by_name`: only the queries sorted by name (those the copy below answers).
  auto check_all = [&](const std::string& stage, bool by_name) {
    for (const std::string& query : queries) {
      if (by_name && query.find("&sort=") != std::string::npos &&
          query.find("&sort=1") == std::string::npos)
        continue;
      const bool security = query.find("&Uid=") != std::string::npos;
      inst.WriteConfig(inst.DefaultConfig(security ? "SECURITY YES\n" : ""));
      const std::string got = exported(query, true), want = exported(query, false);
      if (got == want) continue;
      const size_t at = static_cast<size_t>(
          std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
      const size_t from = got.rfind('\n', at) + 1;
      ADD_FAILURE() << stage << ": " << query << "\n got: " << got.substr(from, 300)
                    << "\nwant: " << want.substr(from, 300);
    }
  };
  check_all("index", false);
  // The same through the copy in name order of the compacted index, with lines appended
  // since: sheets changed (their copied lines dead) and new, across the blocks of the copy, a
  // name that a copied line has too (the appended one comes first), one of a project, group
  // and phase the copy never met, and no sheet name.
  std::string record;
  {
    InProcess request(inst, {});
    record = store::IndexBaseText();
  }
  inst.Write("data/index.base", record);
  auto copy_open = [&inst] {
    InProcess request(inst, {});
    store::IndexFile index;
    store::IndexCopy copy;
    return copy.Open(index);
  };
  ASSERT_FALSE(copy_open());
  {
    InProcess request(inst, {});
    ASSERT_TRUE(search::MakeIndexCopy());
  }
  ASSERT_TRUE(copy_open());
  std::string appended;
  for (int n : {2, 1500, 4444, 8999})
    appended +=
        line({{1, std::to_string(n)}, {11, "b"}, {21, "b"}}, "changed " + std::to_string(n));
  for (int n : {9001, 9500})
    appended += line({{1, std::to_string(n)}, {7, "Core"}}, "new " + std::to_string(n));
  appended += line({{7, "X3"}, {1, "7"}}, "same name, newest");
  appended += line({{7, "Y9"}, {2, "s"}, {1, "3"}}, "group never met");
  appended += line({{1, "-5"}}, "no sheet name, appended");
  inst.Write("data/index", index + appended);
  ASSERT_TRUE(copy_open());
  check_all("copy", true);
  // A prefix changed since the copy was made: the copy is not used.
  inst.Write("config/OTHER_subproject.cfg", "GUI:H\n");
  EXPECT_FALSE(copy_open());
  check_all("copy of other prefixes", true);
}

TEST(Search, FormCarriesTheIdentityAndTicksTheOpenStatuses) {
  SampleInstallation inst("SECURITY YES\n");
  const std::string uid = TokenFor(inst, "kolvar", "TEST");
  std::string page = inst.Get("CMD=search&project=TEST&Uid=" + base::UrlEncode(uid)).out;
  EXPECT_EQ(
      "",
      Missing(
          page,
          {"<INPUT SIZE=20 NAME=\"find\" ID=find>\n<INPUT TYPE=submit VALUE=\"Show\">\n"
           "<INPUT TYPE=hidden name=Uid Value=\"" +
               uid + "\">",
           "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=search&project=TEST&Uid=" +
               base::UrlEncode(uid) + "\" SELECTED > TEST \n",
           "<TD><INPUT TYPE=checkbox NAME=statO ID=statO VALUE=X CHECKED> <LABEL "
           "FOR=statO>Open</LABEL></TD>\n<TD><INPUT TYPE=checkbox NAME=statC ID=statC VALUE=X > "
           "<LABEL FOR=statC>Corrected</LABEL></TD>\n",
           "<LABEL FOR=resp><B>Responsible</B></LABEL></TD>\n<TD><SELECT NAME=resp "
           "ID=resp>\n<OPTION SELECTED>all\n<OPTION> kolvar\n<OPTION> tessin\n"}));
}

// The form sent back for another project drops the sub-project, program and version of the
// project its lists were of, and keeps them when the project stays.
TEST(Search, FormSentBackForAnotherProjectDropsTheOldProjectsLists) {
  SampleInstallation inst;
  const std::string sent = "CMD=search&sort=1&group=GUI&prog=prog1&version=1.1&sev=3";
  struct Case {
    std::string project, listed;
    bool kept;
  };
  for (const Case& c :
       {Case{"TEST", "TEST", true}, Case{"", "TEST", false}, Case{"TEST", "", false}}) {
    SCOPED_TRACE(c.project + "/" + c.listed);
    const std::string page = inst.Get(sent + "&project=" + c.project + "&listed=" + c.listed).out;
    for (const char* option :
         {"<OPTION SELECTED> GUI", "<OPTION SELECTED> prog1", "<OPTION SELECTED> 1.1"})
      EXPECT_EQ(e2e::Has(page, option), c.kept) << option;
    EXPECT_TRUE(e2e::Has(page, "<OPTION VALUE=3 SELECTED >"));
  }
}

// With security on: a member without right 4 sees the sheets of the project of his `Uid`
// only, without right 6 no closed sheet, without right 7 no open one; the export says so
// without a comment.
TEST(Search, RightsWithSecurityOn) {
  Installation inst("SECURITY YES\n");
  WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
  inst.Write("config/OTHER_subproject.cfg", "GUI:G\n");
  inst.Write("config/TEST_users.cfg",
             "all:a@x:p: :YES:YES:YES:YES:YES:YES\n"
             "no4:a@x:p: :YES:YES:YES: :YES:YES\n"
             "no6:a@x:p: :YES:YES:YES:YES:YES: \n"
             "no7:a@x:p: :YES:YES:YES:YES:YES:YES: \n");
  Add(inst, [](store::FactSheet&) {});                                  // TaG.00001, open
  Add(inst, [](store::FactSheet& s) { s.status = store::kVerified; });  // TaG.00002, closed
  Add(inst, [](store::FactSheet& s) { s.project = "OTHER"; });          // OaG.00001, open
  const std::pair<std::string, Names> cases[] = {
      {"all", {"OaG.00001", "TaG.00001", "TaG.00002"}},
      {"no4", {"TaG.00001", "TaG.00002"}},
      {"no6", {"OaG.00001", "TaG.00001"}},
      {"no7", {"TaG.00002"}},
  };
  for (const auto& [login, names] : cases) {
    std::string query =
        "CMD=find&resp=all&statN=X&statV=X&Uid=" + EncodedToken(inst, login, "TEST");
    EXPECT_EQ(ListedNames(inst.Get(query).out), names) << login;
    std::string data = inst.Get(query + "&excel=X").out;
    EXPECT_FALSE(Has(data, "<")) << login;
    // Header lines (the type, the disposition, three protective headers, the blank line),
    // column names, rows.
    EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), 6 + 1 + static_cast<long>(names.size()))
        << login;
  }
  // A forged token (the login shifted, no seal) sees nothing, in the page or the export.
  const std::string forged = "CMD=find&resp=all&statN=X&statV=X&Uid=cnn%23VGUV%2312";
  EXPECT_EQ(ListedNames(inst.Get(forged).out), Names{});
  std::string data = inst.Get(forged + "&excel=X").out;
  EXPECT_TRUE(data.starts_with("Status: 403")) << data;
  EXPECT_FALSE(Has(data, "aG.0000")) << data;
}

// Pages of a long list: hits with equal keys in every sort (same status, severity, impact,
// responsible and title, a name in two groups), each row linking to its sheet's anchor on its
// own page, and each page showing its window's sheets in the list's order.
TEST(Search, PagesOfTheListLinkEachHitToItsWindowForEverySort) {
  SampleInstallation inst("PAGESIZE 4\n");
  std::string index;
  for (int i = 0; i < 23; ++i)
    index += base::Sprintf(
        "%s|%d|a|946681200|kolvar|%c|TEST|%s|prog1|1.0|2.0|%c|0|%s||0||||0||b|a|||0|1|%s\n",
        i % 2 ? "G" : "C", i < 21 ? i + 1 : 50, i % 3 ? 'c' : 'b',
        i < 21 ? (i % 2 ? "GUI" : "Core") : (i == 21 ? "X1" : "X2"), i % 4 ? 'a' : 'b',
        i % 5 ? "kolvar" : "tessin", i % 3 ? "same title" : "same title, longer");
  inst.Write("data/index", index);
  const std::string query = "CMD=find&resp=all&statN=X&statS=X&statA=X&statO=X&statP=X&statC=X";
  for (const char* sort : {"", "&sort=0", "&sort=2", "&sort=3", "&sort=4"})
    for (int from : {0, 4, 21}) {
      const std::string asked = query + sort + "&From=" + std::to_string(from);
      SCOPED_TRACE(asked);
      Names want;
      {
        InProcess request(inst, {{"QUERY_STRING", asked}, {"REQUEST_METHOD", "GET"}});
        search::FoundList hits = search::FindSheets(web::ParseRequest(nullptr));
        search::SortFound(hits, search::CompareFor(sort[0] ? sort + 6 : ""));
        for (const search::FoundSheet& hit : hits) want.push_back(hit.name);
      }
      ASSERT_EQ(want.size(), 23u);
      const std::string page = inst.Get(asked).out;
      const size_t first = static_cast<size_t>(from - from % 4),
                   end = std::min<size_t>(first + 4, 23);
      size_t at = 0;
      for (size_t i = 0; i < want.size(); ++i) {
        at = page.find("<TR><TD WIDTH=10%><A HREF=", at);
        ASSERT_NE(at, std::string::npos) << i;
        at += 26;
        const std::string target = page.substr(at, page.find('>', at) - at);
        const size_t page_first = i < first || i >= end ? i - i % 4 : first;
        const std::string anchor = base::Sprintf("#%05d", static_cast<int>(i - page_first));
        EXPECT_EQ(target,
                  i < first || i >= end
                      ? base::Sprintf("\"%s%d%s\"", target.substr(1, target.find("From=") + 4),
                                      static_cast<int>(page_first), anchor)
                      : anchor)
            << i;
        EXPECT_TRUE(page.compare(page.find('>', at) + 1, want[i].size() + 4, want[i] + "</A>") == 0)
            << i;
      }
      for (size_t i = first; i < end; ++i) {
        const size_t bar = page.find(base::Sprintf("<a name=%05d>", static_cast<int>(i - first)));
        ASSERT_NE(bar, std::string::npos) << i;
        EXPECT_NE(page.find(" " + want[i] + " <BR></FONT>", bar), std::string::npos) << i;
        EXPECT_LT(page.find(" " + want[i] + " <BR></FONT>", bar), page.find("<a name=", bar + 1))
            << i;
      }
    }
}

}  // namespace
