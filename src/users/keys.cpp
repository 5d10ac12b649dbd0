#include "users/keys.h"

#include <cstdlib>
#include <ctime>
#include <random>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/text.h"
#include "config/language.h"
#include "config/main_config.h"
#include "users/crypto.h"
#include "users/uid.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"

namespace users {
namespace {

constexpr int kMsgTitle = 2880;
constexpr int kMsgName = 2881;
constexpr int kMsgKind = 2882;
constexpr int kMsgCreated = 2883;
constexpr int kMsgLastUse = 2884;
constexpr int kMsgApiKind = 2885;
constexpr int kMsgFeedKind = 2886;
constexpr int kMsgMake = 2887;
constexpr int kMsgRevoke = 2888;
constexpr int kMsgShownOnce = 2889;
constexpr int kMsgRevoked = 2890;
constexpr int kMsgNotStored = 2891;
constexpr int kMsgNever = 2892;
constexpr int kMsgNoKey = 2893;
constexpr int kMsgApiOff = 2894;
constexpr int kMsgProjectFeed = 2895;

constexpr size_t kIdDigits = 8;
constexpr size_t kSecretDigits = 32;
constexpr long kUseRecordedEvery = 3600;
constexpr size_t kNameLimit = 60;

std::string Sha256Hex(std::string_view text) {
  return DigestHex(Sha256(text));
}

std::string RandomHex(size_t digits) {
  std::random_device random;
  std::string value;
  while (value.size() < digits) value += base::Sprintf("%08x", random());
  value.resize(digits);
  return value;
}

std::optional<ApiKey> ParseLine(std::string_view line) {
  std::vector<std::string_view> words;
  base::AppendWords(line, words);
  if (words.size() < 7 || words[0].size() != kIdDigits || words[1].size() != 1) return {};
  ApiKey key;
  key.id = words[0];
  key.kind = static_cast<KeyKind>(words[1][0]);
  if (key.kind != KeyKind::kApi && key.kind != KeyKind::kFeed) return {};
  key.hash = words[2];
  key.login = base::UrlDecode(words[3]);
  key.project = base::UrlDecode(words[4]);
  key.created = std::atol(std::string(words[5]).c_str());
  key.last_use = std::atol(std::string(words[6]).c_str());
  if (words.size() > 7) key.name = base::UrlDecode(words[7]);
  return key;
}

std::vector<ApiKey> ParseKeys(std::string_view text) {
  std::vector<ApiKey> keys;
  for (size_t pos = 0; pos < text.size();)
    if (std::optional<ApiKey> key = ParseLine(base::NextLine(text, pos))) keys.push_back(*key);
  return keys;
}

std::string KeyLine(const ApiKey& key) {
  return base::Sprintf("%s %c %s %s %s %ld %ld %s\n", key.id, static_cast<char>(key.kind), key.hash,
                       base::UrlEncode(key.login), base::UrlEncode(key.project), key.created,
                       key.last_use, base::UrlEncode(key.name));
}

// Changes the file under its folder's lock: `change` alters the keys and says whether to store.
bool ChangeKeys(const std::function<bool(std::vector<ApiKey>&)>& change) {
  return base::UpdateFileContent(
      KeysPath(),
      [&](const std::optional<std::string>& text) -> std::optional<std::string> {
        std::vector<ApiKey> keys = ParseKeys(text.value_or(""));
        if (!change(keys)) return std::nullopt;
        std::string out;
        for (const ApiKey& key : keys) out += KeyLine(key);
        return out;
      },
      {.mode = 0600});
}

std::string DateText(long time) {
  if (time == 0) return config::Msg(kMsgNever);
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  char text[32];
  if (!localtime_r(&t, &tm) || !std::strftime(text, sizeof text, "%Y/%m/%d:%H.%M.%S", &tm))
    return {};
  return text;
}

std::string Esc(std::string_view text) {
  return base::EscapeHtml(text);
}

}  // namespace

std::string KeysPath() {
  return base::JoinPath(config::GetConfigDir(), "apikeys.dat");
}

bool ApiEnabled() {
  if (config::IsSecurityOn()) return true;
  return base::FirstWord(config::GetConfig("API")) == "YES";
}

std::vector<ApiKey> ReadKeys() {
  return ParseKeys(base::ReadFile(KeysPath()).value_or(""));
}

std::string MakeKey(std::string_view login, std::string_view project, KeyKind kind,
                    std::string_view name) {
  ApiKey key;
  key.id = RandomHex(kIdDigits);
  key.kind = kind;
  const std::string text =
      base::Sprintf("qk%c%s_%s", static_cast<char>(kind), key.id, RandomHex(kSecretDigits));
  key.hash = Sha256Hex(text);
  key.login = login;
  key.project = project;
  key.created = static_cast<long>(std::time(nullptr));
  key.name = name.substr(0, kNameLimit);
  const bool stored = ChangeKeys([&](std::vector<ApiKey>& keys) {
    keys.push_back(key);
    return true;
  });
  return stored ? text : std::string();
}

bool RevokeKey(std::string_view login, std::string_view id) {
  bool found = false;
  const bool stored = ChangeKeys([&](std::vector<ApiKey>& keys) {
    std::erase_if(keys, [&](const ApiKey& key) {
      const bool match = key.id == id && key.login == login;
      found = found || match;
      return match;
    });
    return found;
  });
  return found && stored;
}

std::optional<ApiKey> FindKey(std::string_view text) {
  // "qk", the kind, the id, "_", the secret.
  if (text.size() != 3 + kIdDigits + 1 + kSecretDigits || !text.starts_with("qk") ||
      text[3 + kIdDigits] != '_')
    return {};
  const std::string_view id = text.substr(3, kIdDigits);
  const std::string hash = Sha256Hex(text);
  for (ApiKey& key : ReadKeys()) {
    if (key.id != id || key.hash.size() != hash.size() ||
        !SameBytes(reinterpret_cast<const unsigned char*>(key.hash.data()),
                   reinterpret_cast<const unsigned char*>(hash.data()), hash.size()) ||
        static_cast<char>(key.kind) != text[2])
      continue;
    const long now = static_cast<long>(std::time(nullptr));
    if (now - key.last_use >= kUseRecordedEvery) {
      key.last_use = now;
      ChangeKeys([&](std::vector<ApiKey>& keys) {
        for (ApiKey& stored : keys)
          if (stored.id == key.id) stored.last_use = now;
        return true;
      });
    }
    return key;
  }
  return {};
}

std::string KeyToken(const ApiKey& key) {
  return MakeUid(key.login, key.project);
}

bool KeysRequestChanges(const web::ParamList& list) {
  return web::FindParam(list, "make") || web::FindParam(list, "revoke");
}

void KeysPage(web::ParamList& list) {
  web::WritePageHead(nullptr, config::Msg(kMsgTitle), "", list);
  web::WriteHomeLink();
  base::Page("<H1>%s</H1>\n", config::Msg(kMsgTitle));
  if (!ApiEnabled()) return web::ErrorBox(kMsgApiOff);
  std::optional<UidNames> names = ChangeIdentity(list);
  if (!names) names = ReadIdentity(list);
  if (!names) return web::ErrorBox(config::kMsgNoRight);
  // Only the request's own token makes or revokes: the gate asked for it.
  if (web::FindParam(list, "make")) {
    const KeyKind kind = web::GetParam(list, "kind") == "feed" ? KeyKind::kFeed : KeyKind::kApi;
    std::string name = web::FieldValue(list, "name");
    for (char& c : name)
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    const std::string text = MakeKey(names->login, names->project, kind, name);
    if (text.empty()) {
      web::ErrorBox(kMsgNotStored);
    } else {
      base::Page("<P><B>%s</B>\n<P><CODE ID=newkey>%s</CODE>\n", config::Msg(kMsgShownOnce), text);
      // What a feed reader is given: the address of the member's project's feed.
      if (kind == KeyKind::kFeed)
        base::Page("<P>%s <CODE>%s</CODE>\n", config::Msg(kMsgProjectFeed),
                   Esc(base::Sprintf("%s%s?CMD=feed&project=%s&key=%s", web::RequestBaseUrl(),
                                     web::ScriptName(), base::UrlEncode(names->project), text)));
    }
  } else if (const std::string* id = web::FindParam(list, "revoke")) {
    if (RevokeKey(names->login, *id))
      base::Page("<P>%s\n", config::Msg(kMsgRevoked));
    else
      web::ErrorBox(kMsgNotStored);
  }

  const std::string uid = web::GetCurrentUid();
  auto hidden_uid = [&] {
    if (!uid.empty() && uid[0] != ' ')
      base::Page("<INPUT TYPE=hidden NAME=Uid VALUE=\"%s\">\n", Esc(uid));
  };
  bool any = false;
  for (const ApiKey& key : ReadKeys()) {
    if (key.login != names->login) continue;
    if (!any) {
      base::Page(
          "<TABLE BORDER=1>\n<TR><TH>%s</TH><TH>%s</TH><TH>%s</TH><TH>%s</TH><TH></TH></TR>\n",
          config::Msg(kMsgName), config::Msg(kMsgKind), config::Msg(kMsgCreated),
          config::Msg(kMsgLastUse));
      any = true;
    }
    base::Page("<TR><TD>%s</TD><TD>%s</TD><TD>%s</TD><TD>%s</TD><TD>", Esc(key.name),
               config::Msg(key.kind == KeyKind::kFeed ? kMsgFeedKind : kMsgApiKind),
               DateText(key.created), DateText(key.last_use));
    base::Page("<FORM METHOD=POST ACTION=\"%s\"><INPUT TYPE=hidden NAME=CMD VALUE=keys>\n",
               Esc(web::ScriptName()));
    hidden_uid();
    base::Page(
        "<INPUT TYPE=hidden NAME=revoke VALUE=\"%s\"><INPUT TYPE=submit VALUE=\"%s\">"
        "</FORM></TD></TR>\n",
        Esc(key.id), Esc(config::Msg(kMsgRevoke)));
  }
  if (any)
    base::Page("</TABLE>\n");
  else
    base::Page("<P>%s\n", config::Msg(kMsgNoKey));

  base::Page(
      "<FORM METHOD=POST ACTION=\"%s\"><INPUT TYPE=hidden NAME=CMD VALUE=keys>\n"
      "<INPUT TYPE=hidden NAME=make VALUE=1>\n",
      Esc(web::ScriptName()));
  hidden_uid();
  base::Page(
      "<P><LABEL FOR=name>%s</LABEL> <INPUT ID=name NAME=name SIZE=30 MAXLENGTH=%d>\n"
      "<LABEL FOR=kind>%s</LABEL> <SELECT ID=kind NAME=kind>"
      "<OPTION VALUE=api>%s<OPTION VALUE=feed>%s</SELECT>\n"
      "<INPUT TYPE=submit VALUE=\"%s\"></FORM>\n",
      config::Msg(kMsgName), static_cast<int>(kNameLimit), config::Msg(kMsgKind),
      config::Msg(kMsgApiKind), config::Msg(kMsgFeedKind), Esc(config::Msg(kMsgMake)));
}

}  // namespace users
