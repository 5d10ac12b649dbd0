#include <fmt/format.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "base/request_state.h"
#include "config/members.h"
#include "config/projects.h"
#include "unit_support.h"
#include "users/crypto.h"
#include "users/login.h"
#include "users/passwords.h"
#include "users/rights.h"
#include "users/uid.h"
#include "users/user_context.h"

namespace {

namespace fs = std::filesystem;

// A configuration folder named by PWD, as the CGI finds it.
class UsersConfig : public unit_test::Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    WriteProjects("TEST:T:kolvar:tessin\n");
    unsetenv("REMOTE_USER");
  }
  void TearDown() override {
    unsetenv("REMOTE_ADDR");
    unsetenv("REMOTE_USER");
    Installation::TearDown();
  }

  // A fresh request from `address`.
  void NewRequest(const char* address) {
    setenv("REMOTE_ADDR", address, 1);
    base::ResetRequestState();
  }

  // Right n for kolvar of TEST, and what the check wrote into the page.
  std::pair<bool, std::string> Right(int n, const std::string& extra_name = "",
                                     const std::string& extra_value = "") {
    base::ResetRequestState();
    web::ParamList list = {{"Uid", users::MakeUid("kolvar", "TEST")}};
    if (!extra_name.empty()) list.push_back({extra_name, extra_value});
    bool granted = false;
    std::string page =
        testing_support::CaptureStdout([&] { granted = users::CheckRight(list, n); });
    return {granted, page};
  }
};

// The token: shifted login and project, the time, and the MAC of all that.
TEST_F(UsersConfig, TokenShiftsLoginAndProjectAndIsSealed) {
  std::string token = users::MakeUidAt("ab", "T", 1234);
  ASSERT_EQ(token.size(), 9u + 1 + users::kUidMacDigits);
  EXPECT_EQ(token.substr(0, 10), "cd#V#1234#");
  // Sealed with the member's stored password, none here.
  EXPECT_EQ(token.substr(10), users::UidMac("cd#V#1234\n"));
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef", 10), std::string::npos);
  EXPECT_EQ(fs::status(users::SecretPath()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // 'Z' + 2 is a backslash; byte 0xFF wraps round to 0x01.
  token = users::MakeUidAt("Zed\xff", "P", 5);
  EXPECT_EQ(token.substr(0, 8), "\\gf\x01#R#5");
  auto names = users::VerifyUidAt(token, 5);
  ASSERT_TRUE(names);
  EXPECT_EQ(names->login, "Zed\xff");
  EXPECT_EQ(names->project, "P");
  EXPECT_EQ(users::DecodeUid(" mqnxct#VGUV#12").login, "");
  EXPECT_EQ(users::DecodeUid("mqnxct").login, "kolvar");  // no '#': the whole token is the login

  // Login and project beyond 67 characters cannot be carried; the longest fits in 99.
  std::string login(60, 'a');
  EXPECT_EQ(users::MakeUidAt(login, std::string(7, 'P'), 1700000000).size(), 96u);
  EXPECT_EQ(users::MakeUidAt(login, std::string(8, 'P'), 1700000000), "");
}

// Only a token this installation sealed names a login; any change to it, or a new secret,
// makes it no login.
TEST_F(UsersConfig, ForgedOrStaleTokensAreNoLogin) {
  const std::string good = users::MakeUid("kolvar", "TEST");
  ASSERT_TRUE(users::VerifyUid(good));
  std::string other_project = good;
  other_project.replace(0, 11, "mqnxct#QVJGT");  // kolvar#OTHER with TEST's MAC
  std::string flipped = good;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  for (const std::string& token :
       {std::string("mqnxct#VGUV#1700000000"), good.substr(0, good.size() - 1), flipped,
        other_project, good + "0", std::string("#") + good.substr(good.rfind('#') + 1),
        std::string(""), " " + good})
    EXPECT_FALSE(users::VerifyUid(token)) << token;

  Write("config/uid.key", std::string(64, '7') + "\n");
  base::ResetRequestState();
  EXPECT_FALSE(users::VerifyUid(good));
  // A key file too short to be a key (a write cut short) is made anew, whole: tokens work
  // again, those of the old key do not.
  for (const char* cut : {"short\n", ""}) {
    Write("config/uid.key", cut);
    base::ResetRequestState();
    const std::string fresh = users::MakeUidAt("kolvar", "TEST", 1);
    EXPECT_NE(fresh, "");
    EXPECT_FALSE(users::VerifyUid(good));
    EXPECT_GE(Read("config/uid.key").size(), 64u);
  }
}

// A token is good for the lifetime of the login cookie PERSIST gives (a session: 12 hours),
// and no longer than the member's password.
TEST_F(UsersConfig, TokensEndWithTheirLifetimeAndWithThePassword) {
  Write("config/TEST_users.cfg", "kolvar:k@example.org:secret: :YES:YES\n");
  const long now = static_cast<long>(std::time(nullptr));
  const long lifetimes[] = {12 * 3600, 12 * 3600, 86400, 604800, 2592000};  // none, PERSIST 0-3
  for (int persist = -1; persist <= 3; ++persist) {
    MainConfig(persist < 0 ? "" : "PERSIST " + std::to_string(persist) + "\n");
    base::ResetRequestState();
    const long lifetime = lifetimes[persist + 1];
    EXPECT_EQ(users::TokenLifetime(), lifetime) << persist;
    for (long made : {now - lifetime + 60, now - lifetime - 1, now + 3600})
      EXPECT_EQ(users::VerifyUidAt(users::MakeUidAt("kolvar", "TEST", made), now).has_value(),
                made == now - lifetime + 60)
          << persist << " " << now - made;
  }
  const std::string token = users::MakeUid("kolvar", "TEST");
  const struct {
    const char* users;
    bool valid;
  } kChanges[] = {
      {"kolvar:k@example.org:secret: : : \n", true},       // rights changed
      {"kolvar:other@example.org:secret\n", true},         // address changed
      {"kolvar:k@example.org:new: :YES:YES\n", false},     // password changed
      {"tessin:t@example.org:secret: :YES:YES\n", false},  // no longer a member
  };
  for (const auto& c : kChanges) {
    Write("config/TEST_users.cfg", c.users);
    base::ResetRequestState();
    EXPECT_EQ(users::VerifyUid(token).has_value(), c.valid) << c.users;
  }
}

using Outcome = std::pair<bool, std::string>;

Outcome Granted(int n) {
  return {true, "<!Access granted for kolvar in " + std::to_string(n) + ">\n"};
}
Outcome Denied(int n) {
  return {false, "<!Access denied for kolvar in " + std::to_string(n) + ">\n"};
}

TEST_F(UsersConfig, RightsFollowTheFieldAfterTheColons) {
  MainConfig("DEBUG YES\n");  // the comments are the administrator's
  base::ResetRequestState();
  const struct {
    std::string file;
    std::string rights;  // right 1 to 7: G granted, D denied
  } cases[] = {{"kolvar:kolvar@example.org:secret: :YES:YES:YES:YES:YES:YES\n", "GGGGGGG"},
               // A blank in field 5 denies right 1 only; an empty field 10 denies right 6 (its line
               // feed); beyond field 10 always granted.
               {"kolvar:k@example.org:secret: : :YES:YES:YES:YES:\n", "DGGGGDG"},
               // The same empty last field without a line feed at the end of the file grants.
               {"kolvar:k@example.org:secret: : :YES:YES:YES:YES:", "DGGGGGG"},
               // Three fields: the walk reaches the end of the line.
               {"kolvar:k@example.org:secret\n", "GGGGGGG"},
               // "Y" alone is enough; "no", "N" and "y" deny.
               {"kolvar:k:p: :Y:no:N:y:YES:YES\n", "GDDDGGG"}};
  for (const auto& c : cases) {
    Write("config/TEST_users.cfg", c.file);
    for (int n = 1; n <= 7; ++n)
      EXPECT_EQ(Right(n), c.rights[n - 1] == 'G' ? Granted(n) : Denied(n)) << c.file << n;
  }
}

TEST_F(UsersConfig, RightsWithoutUidOrUsersFileAreGrantedSilently) {
  Write("config/TEST_users.cfg", "kolvar:k:p: : : : : : :\n");
  const web::ParamList lists[] = {{},
                                  {{"Uid", " "}},
                                  {{"Uid", "x"}},
                                  {{"Uid", "mqnxct#VGUV#12"}},  // forged
                                  {{"Uid", users::MakeUidAt("kolvar", "NONE", 1)}},
                                  {{"Uid", users::MakeUidAt("kolvar", "../../etc/x", 1)}}};
  EXPECT_EQ(testing_support::CaptureStdout([&] {
              for (const web::ParamList& list : lists) EXPECT_TRUE(users::CheckRight(list, 1));
              // With security on, none of them is a login with rights.
              MainConfig("SECURITY YES\n");
              base::ResetRequestState();
              for (const web::ParamList& list : lists) EXPECT_FALSE(users::CheckRight(list, 1));
            }),
            "");
}

// Every line of the login is checked and commented; an export suppresses the granted comment;
// right 4 is asked once per request.
TEST_F(UsersConfig, EveryLineOfTheLoginIsCheckedAndCommented) {
  MainConfig("DEBUG YES\n");
  base::ResetRequestState();
  Write("config/TEST_users.cfg",
        "kolvar :k:p: : :YES\n"      // a blank before ':' does not match
        "tessin:t:p: : : : : : :\n"  // other logins are not looked at
        "kolvar:k:p: :YES:YES:YES:YES\n"
        "kolvar:k:p: :YES: \n");
  EXPECT_EQ(Right(1), Granted(1));
  EXPECT_EQ(Right(2), Denied(2));
  EXPECT_EQ(Right(1, "excel", "X1"), Outcome(true, ""));
  EXPECT_EQ(Right(2, "excel", "X1"), Denied(2));
  EXPECT_EQ(Right(1, "excel", "1"), Granted(1));
  web::ParamList list = {{"Uid", users::MakeUid("kolvar", "TEST")}};
  EXPECT_EQ(testing_support::CaptureStdout([&] {
              EXPECT_TRUE(users::CanSeeEveryProject(list));
              EXPECT_TRUE(users::CanSeeEveryProject(list));
            }),
            "<!Access granted for kolvar in 4>\n");
  Write("config/TEST_users.cfg", "kolvar:k:p: : :YES\nkolvar:k:p: : :YES\n");
  EXPECT_EQ(Right(1), Outcome(false, Denied(1).second + Denied(1).second));
}

TEST_F(UsersConfig, PasswordIsTheThirdFieldOfTheLoginsLine) {
  WriteProjects("TEST:T:kolvar:tessin\nOTHER:O:kolvar:tessin\n");
  Write("config/TEST_users.cfg",
        "kolvar:k@example.org:secret: :YES\n"
        "tessin t@example.org:pass\n"
        "long::abcdefghijklmnopqrstuvwxyz\n");
  Write("config/OTHER_users.cfg", "kolvar:k@example.org:other: :YES\n");
  // The project list is walked last line first: OTHER before TEST. A password is compared
  // whole, however long. No project: refused, and none named.
  const struct {
    std::string login, password, project;
  } cases[] = {{"kolvar", "secret", "TEST"}, {"kolvar", "other", "OTHER"},
               {"tessin", "pass", "TEST"},   {"long", "abcdefghijklmnopqrs", ""},
               {"kolvar", "Secret", ""},     {"kolva", "secret", ""},
               {"kolvar", "", ""},           {"long", "abcdefghijklmnopqrstuvwxyz", "TEST"}};
  for (const auto& c : cases) {
    std::string project;
    EXPECT_EQ(users::CheckPassword(c.login, c.password, project), !c.project.empty())
        << c.login << ":" << c.password;
    EXPECT_EQ(project, c.project) << c.login << ":" << c.password;
  }
}

// A refused login costs one slow hash whether the login exists (hashed or in clear) or not:
// the time of a refusal tells nothing of the logins.
TEST_F(UsersConfig, ARefusalCostsOneHashKnownOrNot) {
  WriteProjects("TEST:T:kolvar:tessin\n");
  Write("config/TEST_users.cfg",
        "kolvar:k:" + users::HashPassword("right") + ": :YES\ntessin:t:clear\n");
  for (const char* login : {"kolvar", "tessin", "nobody"}) {
    const long before = users::PasswordDerivations();
    std::string project;
    EXPECT_FALSE(users::CheckPassword(login, "wrong", project)) << login;
    EXPECT_EQ(users::PasswordDerivations() - before, 1) << login;
  }
}

// A stored hash is salted (two hashes of one password differ), has no ":" nor blank, and
// matches its password alone; a field in clear matches itself; a blank field matches nothing.
TEST(Passwords, HashesAndClearFields) {
  const std::string a = users::HashPassword("pw:with blank");
  const std::string b = users::HashPassword("pw:with blank");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find_first_of(": \t\n"), std::string::npos) << a;
  EXPECT_TRUE(users::IsPasswordHash(a));
  EXPECT_EQ(users::StoredPasswordField(a), a);
  EXPECT_TRUE(users::VerifyPassword(users::StoredPasswordField("clear"), "clear"));
  EXPECT_EQ(users::StoredPasswordField(" "), " ");
  const struct {
    std::string stored, password;
    bool match;
  } cases[] = {
      {a, "pw:with blank", true},
      {a, "", false},
      {"clear", "clear", true},
      {"clear", "clea", false},
      {"clear", "clearer", false},
      {" ", " ", false},
      {"", "", false},
      {a.substr(0, a.size() - 2), "pw:with blank", false},
      {"$pbkdf2-sha256$x$AAAA$AAAA", "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(users::VerifyPassword(c.stored, c.password), c.match)
        << c.stored << " " << c.password;
}

// The digest, its MAC and the key derivation against their published vectors (FIPS 180-2,
// RFC 4231, RFC 7914), and a hash stored by an earlier build still matches its password.
TEST(Crypto, DigestMacAndDerivationMeetTheirVectors) {
  auto hex = [](std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) out += fmt::format("{:02x}", c);
    return out;
  };
  auto digest = [&](const users::Digest& d) {
    return hex(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
  };
  EXPECT_EQ(digest(users::Sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const struct {
    std::string key, text, mac;
  } macs[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
  };
  for (const auto& m : macs) EXPECT_EQ(digest(users::HmacSha256(m.key, m.text)), m.mac) << m.text;
  EXPECT_EQ(hex(users::Pbkdf2Sha256("passwd", "salt", 1, 64)),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
            "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
  EXPECT_EQ(hex(users::Pbkdf2Sha256("Password", "NaCl", 80000, 64)),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
            "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
  const std::string stored =
      "$pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw$U9UBOAAhwYmuAy3fHDVXdFtRppdyBW3GmBlFwU4nboE";
  EXPECT_TRUE(users::VerifyPassword(stored, "s3cret:pw"));
  EXPECT_FALSE(users::VerifyPassword(stored, "s3cret:pW"));
}

// The record of the client address; fields stop at the first missing one and are cut.
TEST_F(UsersConfig, RecordOfTheClientAddress) {
  Write("config/userinfo.dat",
        "10.0.0.4:tessin:OTHER:Core:0\n"
        "10.0.0.5:kolvar:TEST:Engine:2\n"
        "10.0.0.7:kolvar::Engine:2\n"
        "10.0.0.8:abcdefghijklmnopqrstuvwxyz:TEST:Engine\n");
  struct Case {
    const char* address;
    const char* remote_user;
    std::string record;  // user|project|sub-project|phase
  } cases[] = {{"10.0.0.5", nullptr, "kolvar|TEST|Engine|2"},
               {"10.0.0.6", "kolvar", "kolvar| ||-1"},
               {"10.0.0.6", nullptr, "| ||-1"},
               {"10.0.0.7", nullptr, "kolvar| ||-1"},
               {"10.0.0.8", nullptr, "abcdefghijklmnopqrs|TEST|Engine|-1"}};
  for (const Case& c : cases) {
    if (c.remote_user) setenv("REMOTE_USER", c.remote_user, 1);
    NewRequest(c.address);
    EXPECT_EQ(fmt::format("{}|{}|{}|{}", users::GetUserName(), users::GetLastProject(),
                          users::GetLastSubproject(), users::GetLastPhase()),
              c.record)
        << c.address;
    unsetenv("REMOTE_USER");
  }
}

TEST_F(UsersConfig, SavingMovesTheRecordLastAndDropsMalformedLines) {
  Write("config/userinfo.dat",
        "10.0.0.4:tessin:OTHER:Core:0\n"
        "10.0.0.5:kolvar:TEST:Engine:2\n"
        "10.0.0.7:mira:TEST:Engine\n"  // no phase number
        ":nobody:TEST:Engine:1\n"      // no address
        "10.0.0.6:ana:TEST:UI:1\n");
  NewRequest("10.0.0.5");
  users::SaveUserContext("kolvar", "OTHER", "Core", 1);
  EXPECT_EQ(Read("config/userinfo.dat"),
            "10.0.0.4:tessin:OTHER:Core:0\n"
            "10.0.0.6:ana:TEST:UI:1\n"
            "10.0.0.5:kolvar:OTHER:Core:1\n");
  EXPECT_EQ(users::GetLastProject(), "OTHER");  // the request sees what it saved

  // Another address; then a new login keeps the context (reading is the record test's).
  NewRequest("10.0.0.9");
  users::SaveUserContext("mira", "TEST", "Engine", 3);
  NewRequest("10.0.0.5");
  users::SaveUserName("tessin");
  EXPECT_EQ(Read("config/userinfo.dat"),
            "10.0.0.4:tessin:OTHER:Core:0\n"
            "10.0.0.6:ana:TEST:UI:1\n"
            "10.0.0.9:mira:TEST:Engine:3\n"
            "10.0.0.5:tessin:OTHER:Core:1\n");

  // A save that repeats the record leaves the file as it is; one that cannot replace the
  // file leaves no temporary file behind.
  struct stat before {};
  stat((root_ + "/config/userinfo.dat").c_str(), &before);
  NewRequest("10.0.0.9");
  users::SaveUserContext("mira", "TEST", "Engine", 3);
  struct stat after {};
  stat((root_ + "/config/userinfo.dat").c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);
  std::filesystem::remove(root_ + "/config/userinfo.dat");
  std::filesystem::create_directory(root_ + "/config/userinfo.dat");
  NewRequest("10.0.0.9");
  testing::internal::CaptureStderr();
  users::SaveUserContext("mira", "TEST", "Engine", 4);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("unable to write"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(root_ + "/config"))
    EXPECT_FALSE(entry.path().filename().string().starts_with("userinfo.dat.")) << entry.path();
}

// Without file or record, a login is saved with an empty context; saved values cannot forge
// another record.
TEST_F(UsersConfig, SavingWithoutFileOrRecordAndWithHostileValues) {
  NewRequest("10.0.0.5");
  users::SaveUserName("kolvar");
  EXPECT_EQ(Read("config/userinfo.dat"), "10.0.0.5:kolvar: : :-1\n");
  NewRequest("10.0.0.5");
  EXPECT_EQ(users::GetLastProject(), " ");
  EXPECT_EQ(users::GetLastPhase(), -1);
  Write("config/userinfo.dat", "");
  NewRequest("::1");
  users::SaveUserContext("kolvar\n10.0.0.6:admin", "TEST:x", "UI\r", 2);
  EXPECT_EQ(Read("config/userinfo.dat"), "..1:kolvar:TEST:UI:2\n");
  NewRequest("::1");
  EXPECT_EQ(users::GetUserName(), "kolvar");
  EXPECT_EQ(users::GetLastPhase(), 2);
}

// Saves running at once each keep their record: the rewrite is serialised.
TEST_F(UsersConfig, ConcurrentSavesLoseNoRecord) {
  constexpr int kClients = 12;
  unit_test::RunProcesses(kClients, [&](int i) {
    std::string address = "10.0.1." + std::to_string(i);
    for (int round = 0; round < 20; ++round) {
      NewRequest(address.c_str());
      users::SaveUserContext("user" + std::to_string(i), "TEST", "UI", round);
    }
    return 0;
  });
  std::string file = Read("config/userinfo.dat");
  for (int i = 0; i < kClients; ++i)
    EXPECT_NE(
        file.find("10.0.1." + std::to_string(i) + ":user" + std::to_string(i) + ":TEST:UI:19\n"),
        std::string::npos)
        << i << "\n"
        << file;
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), kClients);
  for (const auto& entry : fs::directory_iterator(root_ + "/config"))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
}

// Two sites' members files merge member by member: the later line, and apart from it the
// later password, whichever file is local; a member of one site only is added. A token
// stays good through an exchange that leaves its member's password alone.
TEST_F(UsersConfig, MembersMergeByTheirChangeTimes) {
  EXPECT_EQ(config::StampMembers("a:x:H1:Y\nb:y:H2:Y\n#changed a 5 5\n",
                                 "a:x:H1:Y\nb:z:H2:Y\nc:w:H3:Y\n", 9),
            "a:x:H1:Y\nb:z:H2:Y\nc:w:H3:Y\n#changed a 5 5\n#changed b 9 0\n#changed c 9 9\n");
  const struct {
    std::string local, received, merged;
  } cases[] = {
      // Only here, or only there.
      {"a:x:H1:Y\n#changed a 5 5\n", "b:y:H2:Y\n#changed b 7 7\n",
       "a:x:H1:Y\nb:y:H2:Y\n#changed a 5 5\n#changed b 7 7\n"},
      // A newer line there, a newer password here: both kept.
      {"a:x:H1:Y\n#changed a 5 8\n", "a:new:H0: \n#changed a 9 3\n",
       "a:new:H1: \n#changed a 9 8\n"},
      // A newer password there only.
      {"a:x:H1:Y\n#changed a 5 5\n", "a:old:H9:Y\n#changed a 2 6\n", "a:x:H9:Y\n#changed a 5 6\n"},
      // Files of an older version: the same lines stay.
      {"a:x:H1:Y\n", "a:x:H1:Y\n", "a:x:H1:Y\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(config::MergeMembers(c.local, c.received), c.merged) << c.local << c.received;
    // A member both have ends the same on both sites.
    if (c.received.starts_with("a:")) {
      EXPECT_EQ(config::MergeMembers(c.received, c.local), c.merged) << c.local << c.received;
    }
  }

  const long now = static_cast<long>(std::time(nullptr));
  Write("config/TEST_users.cfg", "kolvar:k@x:H1:Y:Y\n#changed kolvar 5 5\n");
  config::ForgetProjectFiles();
  base::ResetRequestState();
  const std::string token = users::MakeUidAt("kolvar", "TEST", now);
  Write("config/TEST_users.cfg", config::MergeMembers("kolvar:k@x:H1:Y:Y\n#changed kolvar 5 5\n",
                                                      "kolvar:k@y:H0:Y:Y\n#changed kolvar 9 2\n"));
  config::ForgetProjectFiles();
  base::ResetRequestState();
  EXPECT_TRUE(users::VerifyUidAt(token, now));
}

}  // namespace
