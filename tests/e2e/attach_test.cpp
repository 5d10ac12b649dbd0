// Attachments end to end: the Attach form, the upload stored byte for byte and sent back by
// CMD=FILE, and the refusals (existing file, names that would leave the folder, incomplete
// uploads, downloads of anything but an attached file, users without the right).
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "../unit/smtp_peer.h"
#include "base/encode.h"
#include "harness.h"
#include "store/store.h"

namespace {

using e2e::FormPart;
using e2e::InProcess;
using e2e::Installation;

const std::string kNotFound =
    "Status: 404 Not Found\nContent-type: text/plain\nContent-Length: 0\n" E2E_PROTECTIVE "\n";

e2e::CgiResult Attach(const Installation& inst, const std::string& title,
                      const std::string& content, const std::string& client_name,
                      const std::string& more = "") {
  std::vector<FormPart> parts = {{"CMD", "Attach"}, {"Num", "TsG.00001"}, {"QS", "CMD=x"},
                                 {"title", title},  {"User", "kolvar"},   {"Uid", more}};
  parts.emplace_back("Attach", content, client_name);
  return inst.PostMultipart(parts);
}

std::vector<store::SheetEntry> Entries(const Installation& inst) {
  InProcess req(inst);
  return store::ReadSheet("TsG.00001").value().entries;
}

TEST(Attach, UploadAndDownloadRoundTripByteForByte) {
  mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
  e2e::SampleInstallation inst("MAILSERV " + relay.server() + "\n");
  inst.Post(e2e::kNewSheet);
  inst.Write("config/sendmail.cfg", "Attach tessin\n");
  std::mt19937 random(16);
  std::string content(5 << 20, '\0');
  for (char& c : content) c = static_cast<char>(random() % 7 == 0 ? 0 : random());
  for (size_t i = 0; i + 40 < content.size(); i += 99991) content.replace(i, 6, "\r\n--\r\r");
  content += "\r\n-----------------------------7d0a1b2c3d4e5\r\n";

  auto r = Attach(inst, "File_1", content, "D:\\logs\\run.bin");
  // The page the commit leads to lists the attachment.
  EXPECT_TRUE(e2e::Has(r.out, ">File_1</A>")) << r.out.substr(0, 2000);
  // It confirms the file as it was received.
  EXPECT_TRUE(
      e2e::Has(r.out, "D:\\logs\\run.bin , " + std::to_string(content.size()) + " bytes.<P>"))
      << r.out.substr(0, 2000);
  const std::string path = inst.DataDir() + "TRACE_TsG.00001/File_1_run.bin";
  EXPECT_TRUE(inst.Read("data/TRACE_TsG.00001/File_1_run.bin") == content);
  for (const std::string& f : inst.List("data/tmp")) EXPECT_FALSE(f.starts_with("data")) << f;
  auto entries = Entries(inst);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name + "|" + entries[1].who + "|" + entries[1].text,
            "File_1|kolvar|" + path + "\n");
  EXPECT_EQ(entries[1].kind, store::kAttachmentEntry);
  EXPECT_TRUE(
      e2e::Has(inst.Read("data/history.dat"), "TsG.00001 Attachment File_1 added by kolvar\n"));
  EXPECT_EQ(inst.Read("config/userinfo.dat"), "192.0.2.10:kolvar:TEST:GUI:1\n");
  EXPECT_TRUE(e2e::Has(relay.Received(), "Subject: Bug TsG.00001 Attachment by kolvar\r\n"));

  // The sheet's own link brings it back.
  size_t link = r.out.find("?CMD=FILE&title=");
  ASSERT_NE(link, std::string::npos);
  auto down = inst.Get(r.out.substr(link + 1, r.out.find('"', link) - link - 1));
  EXPECT_TRUE(down.out ==
              "Content-type: application/octet-stream\nContent-Disposition: "
              "attachment; filename=\"File_1_run.bin\"\nContent-Length: 5242926\n" E2E_PROTECTIVE
              "\n" +
                  content);
  // The form proposes the next attachment one higher, and puts the file field last.
  const std::string form = inst.Get("CMD=Attach&Num=TsG.00001").out;
  for (const char* part :
       {"<FORM METHOD=POST enctype=\"multipart/form-data\" ACTION=\"/cgi-bin/quorb.cgi\">\n",
        "use no blanks and no slashes.</FONT>\n",
        "<INPUT SIZE=20 NAME=\"title\" ID=title VALUE=File_2>\n",
        "VALUE=\"OK\">\n</TD></TR>\n<TR><TD>\n<LABEL FOR=Attach>File</LABEL> : <INPUT TYPE=FILE "
        "NAME=Attach ID=Attach SIZE=40>\n"
        "</TD></TR></TABLE>\n</FORM>"})
    EXPECT_TRUE(e2e::Has(form, part)) << part << "\n" << form;
}

TEST(Attach, RefusalsStoreNothing) {
  e2e::SampleInstallation inst;
  inst.Post(e2e::kNewSheet);
  Attach(inst, "File_1", "one", "C:\\a\\run.txt");
  // The same file name under another title is kept beside it; a path's folders do not count.
  Attach(inst, "File_2", "two", "/home/u/x/../run.txt");
  EXPECT_EQ(inst.List("data/TRACE_TsG.00001"),
            (std::vector<std::string>{"File_1_run.txt", "File_2_run.txt"}));
  EXPECT_EQ(inst.Read("data/TRACE_TsG.00001/File_2_run.txt"), "two");
  const std::string base = "data/TRACE_TsG.00001/File_1_run.txt";
  struct Case {
    std::string title, file, message;
  };
  for (const Case& c : std::vector<Case>{
           {"File_1", "run.txt", "An attachment titled File_1 with this file name already exists."},
           {"../../x", "run.txt", "Unable to store the attached file"},
           {"a/b", "run.txt", "Unable to store"},
           {"a\\b", "run.txt", "Unable to store"},
           {"..", "run.txt", "Unable to store"},
           {"File_3", "C:\\x\\..", "Unable to store"},
           {"File_3", "", "Unable to store"},
           {"File_3", "a\\", "Unable to store"},
           {"File_3", std::string(190, 'n'), "Unable to store"},
       }) {
    auto r = Attach(inst, c.title, "new", c.file);
    EXPECT_TRUE(e2e::Has(r.out, "<BR><BR>" + c.message)) << c.title << c.file;
  }
  // Missing title: 502.
  EXPECT_TRUE(e2e::Has(Attach(inst, "", "x", "y.txt").out, "<BR><BR>A required field is missing"));
  // An upload cut short never reaches the folder.
  std::string body = e2e::MultipartBody({{"CMD", "Attach"},
                                         {"Num", "TsG.00001"},
                                         {"title", "File_4"},
                                         {"User", "kolvar"},
                                         {"Attach", "abc", "cut.txt"}},
                                        "---------------------------x");
  body.resize(body.size() - 12);
  auto cut = inst.Post(body, "multipart/form-data; boundary=---------------------------x");
  // The error names the file as the user knows it, never a folder of the server.
  const size_t error = cut.out.find("Unable to store the attached file ");
  ASSERT_NE(error, std::string::npos);
  EXPECT_FALSE(
      e2e::Has(cut.out.substr(error, cut.out.find("</TD>", error) - error), inst.DataDir()));
  EXPECT_EQ(inst.List("data/TRACE_TsG.00001").size(), 2u);
  EXPECT_EQ(inst.Read(base), "one");
  EXPECT_EQ(Entries(inst).size(), 3u);
  EXPECT_EQ(inst.List("").size(), 3u);  // nothing written beside config, data and temp
}

TEST(Attach, DownloadSendsOnlyAttachedFiles) {
  Installation inst;
  inst.Write("data/TRACE_TsG.00001/say \"hi\".txt", "hi");
  inst.Write("data/TRACE_other/x", "x");
  inst.Write("data/index", "secret");
  ASSERT_EQ(symlink("/etc/passwd", inst.Path("data/TRACE_TsG.00001/link").c_str()), 0);
  EXPECT_EQ(inst.Get("CMD=FILE&title=" + base::UrlEncode(inst.DataDir() + "TRACE_TsG.00001/say "
                                                                          "\"hi\".txt"))
                .out,
            "Content-type: application/octet-stream\nContent-Disposition: attachment; "
            "filename=\"say \\\"hi\\\".txt\"\nContent-Length: 2\n" E2E_PROTECTIVE "\nhi");
  for (std::string title :
       {"/etc/passwd", "data/index", "data/TRACE_TsG.00001/../index", "data/TRACE_TsG.00001/link",
        "data/TRACE_TsG.00001", "data/TRACE_other/x", "data/TRACE_TsG.00001/none", "+"})
    EXPECT_EQ(inst.Get("CMD=FILE&title=" + base::UrlEncode(inst.root() + "/" + title)).out,
              kNotFound)
        << title;
  // Links name the file relative to the data folder; nothing relative leaves it either.
  EXPECT_TRUE(inst.Get("CMD=FILE&title=TRACE_TsG.00001/say%20%22hi%22.txt").out.ends_with("\nhi"));
  for (std::string title : {"../data/index", "TRACE_TsG.00001/../index", "index", "./index"})
    EXPECT_EQ(inst.Get("CMD=FILE&title=" + base::UrlEncode(title)).out, kNotFound) << title;
}

// Pictures, known by their first bytes, open in the browser under a policy that runs
// nothing; anything else, a drawing or a page named as a picture included, is downloaded.
TEST(Attach, PicturesOpenInlineEverythingElseDownloads) {
  Installation inst;
  const std::string policy =
      "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; sandbox\n";
  const struct {
    std::string name, content, type;
  } cases[] = {
      {"s.png", std::string("\x89PNG\r\n\x1A\n", 8) + "data", "image/png"},
      {"s.jpg", "\xFF\xD8\xFF\xE0", "image/jpeg"},
      {"s", "GIF89a", "image/gif"},
      {"svg.png", "<svg onload=alert(1)>", ""},
      {"page.gif", "<html><script>", ""},
      {"short.png", "\x89PNG", ""},
  };
  for (const auto& c : cases) {
    inst.Write("data/TRACE_TsG.00001/" + c.name, c.content);
    const std::string head =
        c.type.empty() ? "Content-type: application/octet-stream\nContent-Disposition: attachment; "
                       : "Content-type: " + c.type + "\nContent-Disposition: inline; ";
    EXPECT_EQ(inst.Get("CMD=FILE&title=TRACE_TsG.00001/" + c.name).out,
              head + "filename=\"" + c.name +
                  "\"\nContent-Length: " + std::to_string(c.content.size()) + "\n" +
                  (c.type.empty() ? "" : policy) + E2E_PROTECTIVE "\n" + c.content)
        << c.name;
  }
}

TEST(Attach, WithSecurityOnlyMembersAttach) {
  e2e::SampleInstallation inst;
  inst.Post(e2e::kNewSheet);
  inst.WriteConfig(inst.DefaultConfig("SECURITY YES\n"));
  const std::string uid = e2e::TokenFor(inst, "kolvar", "TEST");
  const std::string stranger = e2e::TokenFor(inst, "nobody", "TEST");
  // Not a member: the sheet is not even shown.
  auto refused = Attach(inst, "File_1", "x", "a.txt", stranger);
  EXPECT_TRUE(e2e::Has(refused.out, "You are not allowed to see this page."));
  EXPECT_FALSE(inst.Exists("data/TRACE_TsG.00001/File_1_a.txt"));
  EXPECT_TRUE(e2e::Has(
      e2e::WithoutFormGuards(inst.Get("CMD=Attach&Num=TsG.00001&Uid=" + base::UrlEncode(uid)).out),
      "<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"" + uid + "\">\n<H1>"));
  Attach(inst, "File_1", "x", "a.txt", uid);
  EXPECT_EQ(inst.Read("data/TRACE_TsG.00001/File_1_a.txt"), "x");
  // Downloading is reading: nobody without a login of the sheet's project gets the file.
  const std::string file = "CMD=FILE&title=" + inst.DataDir() + "TRACE_TsG.00001/File_1_a.txt";
  for (const std::string& who : {std::string(), "&Uid=" + base::UrlEncode(stranger)})
    EXPECT_TRUE(inst.Get(file + who).out.starts_with("Status: 404")) << who;
  EXPECT_TRUE(inst.Get(file + "&Uid=" + base::UrlEncode(uid)).out.ends_with("\n\nx"));
  // A rename takes the folder along: the new link is answered, and the old one leads there;
  // the old name is never given to another sheet.
  std::string rename = e2e::kNewSheet;
  rename.replace(0, 7, "CMD=Change_Header&Num=TsG.00001&User=kolvar&Uid=" + base::UrlEncode(uid));
  rename.replace(rename.find("group=GUI"), 9, "group=Core");
  ASSERT_FALSE(e2e::Has(inst.Post(rename).out, e2e::kErrorBox));
  const std::string moved = "CMD=FILE&title=" + inst.DataDir() + "TRACE_TsC.00001/File_1_a.txt";
  EXPECT_TRUE(inst.Get(moved + "&Uid=" + base::UrlEncode(uid)).out.ends_with("\n\nx"));
  EXPECT_TRUE(inst.Get(file + "&Uid=" + base::UrlEncode(uid)).out.ends_with("\n\nx"));
  EXPECT_TRUE(inst.Get(file + "&Uid=" + base::UrlEncode(stranger)).out.starts_with("Status: 404"));
  inst.Post(std::string(e2e::kNewSheet) + "&Uid=" + base::UrlEncode(uid));
  EXPECT_TRUE(inst.Exists("data/TsG.00002"));
  EXPECT_FALSE(inst.Exists("data/TsG.00001"));
}

}  // namespace

namespace {

// A copy owns its attachments: its entries name files of its own folder, which survive any
// rename of the source and never become another sheet's bytes; the check finds an entry that
// points into another sheet's folder.
TEST(Attach, CopyOwnsItsAttachments) {
  e2e::SampleInstallation inst;
  inst.Post(e2e::kNewSheet);
  Attach(inst, "Log", "source bytes", "a.txt");
  inst.Post("CMD=Copy&Num=TsG.00001&User=tessin&project=TEST&group=GUI&prog=prog1&sev=2&phase=b");
  // The source moves away, and a new sheet takes its name and attaches a file of that name.
  e2e::Fields header = e2e::HeaderForm("TsG.00001");
  inst.Post(e2e::FormBody(e2e::With(header, "group", "Core")));
  ASSERT_TRUE(inst.Exists("data/TsC.00001"));
  inst.Post(e2e::kNewSheet);
  Attach(inst, "Log", "unrelated bytes", "a.txt");

  std::string copied;
  {
    InProcess req(inst);
    for (const store::SheetEntry& entry : store::ReadSheet("TsG.00002").value().entries)
      if (entry.kind == store::kAttachmentEntry) copied = entry.text;
  }
  EXPECT_TRUE(e2e::Has(copied, "TRACE_TsG.00002/")) << copied;
  EXPECT_EQ(inst.Read("data/TRACE_TsG.00002/Log_a.txt"), "source bytes");
  EXPECT_EQ(inst.Read("data/TRACE_TsC.00001/Log_a.txt"), "source bytes");
  e2e::Request check;
  check.args = {"--check"};
  check.env = {{"GATEWAY_INTERFACE", ""}};
  EXPECT_EQ(inst.Run(check).exit_code, 0) << inst.Run(check).out;

  // An entry that names another sheet's folder is reported.
  {
    InProcess req(inst);
    store::UpdateSheet("TsG.00002", [&](store::FactSheet& s) {
      for (store::SheetEntry& entry : s.entries)
        if (entry.kind == store::kAttachmentEntry)
          entry.text.replace(entry.text.find("TsG.00002"), 9, "TsC.00001");
      return true;
    });
  }
  e2e::CgiResult found = inst.Run(check);
  EXPECT_NE(found.exit_code, 0);
  EXPECT_TRUE(e2e::Has(found.out,
                       "attachments: an entry of TsG.00002 points into the folder of "
                       "TsC.00001"))
      << found.out;
}

}  // namespace
