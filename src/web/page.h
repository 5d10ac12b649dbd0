// The page frame: the start of every HTML answer, the error boxes, the language check.
#pragma once

#include <string_view>

#include "base/out.h"
#include "config/language.h"
#include "web/params.h"

namespace web {

// Writes the start of an HTML answer. A null stream is the page (standard output), with
// the HTTP header, the login scripts when security is on, and the background image when
// the caller gives no colour of its own. Any other stream gets a file copy of a page:
// no scripts, no background. An empty colour is the default "#FFFFFF".
void WritePageHead(base::Stream stream, std::string_view title, std::string_view color,
                   const ParamList& list);

// The red error box titled by message 500, whose body is message n.
void ErrorBox(int n);
// The same, with message n used as a format applied to `arg`.
void ErrorBoxArg(int n, std::string_view arg);
// The message of the last error box this request wrote; 0 when none (for the machine
// interface, which tells the outcome of a page's handler as a status).
int LastErrorBox();
void ForgetErrorBox();

// The cells of a form row: a label in bold (message `message`), naming the field `field` (the
// field's ID, which is its name) for readers and for a click; and a list opened and closed.
void LabelCell(int message, std::string_view field = {});
void OpenSelectCell(std::string_view name);
void CloseSelectCell();
// A field's visible label, naming for readers and for a click the field whose ID is `field`:
// "<LABEL FOR=field>text</LABEL>" (`text` written as it is: the caller escapes user text).
std::string LabelFor(std::string_view field, std::string_view text);
// The name of a field that no visible label can point at (a cell of a grid, a field repeated
// in several forms of a page): the attribute " ARIA-LABEL=\"text\"", `text` escaped.
std::string AriaLabel(std::string_view text);
// The options of a project list that reloads the page `cmd` for the project chosen, `project`
// selected; `uid` ends each link (the identity suffix).
void WriteProjectChoices(std::string_view cmd, std::string_view project, std::string_view uid);
// The script behind such a list: in a form, choosing a project sends the form back to the
// page `cmd`, so nothing typed is lost; elsewhere it goes to the option's address.
void WriteProjectChangeScript(std::string_view cmd);

// The way home: the home image linking to the home page, at the right of the page.
void WriteHomeLink();
// The link alone, for a caller that places it; `whole_window` leaves a frame.
std::string HomeAnchor(bool whole_window = false);

// The language of the pages ("en", "fr" ...), from the language file's code.
std::string PageLanguage();

// Warns when the language file is not of the version this program speaks.
void CheckLanguageVersion();

inline constexpr std::string_view kLanguageVersion = "v4.6";

// What the head of every page holds for every reader: what a phone needs (its own width;
// tables, lists and fields that shrink to the screen, words of cells and headings breaking
// rather than pushing the page sideways; on a narrow screen the cells of a form stack, each
// label above its field), and the keyboard's way through lists that load a page.
inline constexpr std::string_view kEveryReaderHead =
    "<META NAME=\"viewport\" CONTENT=\"width=device-width, initial-scale=1\">\n"
    "<STYLE>TABLE{max-width:100%}TD,TH,H1,H2{overflow-wrap:anywhere}"
    "INPUT,SELECT,TEXTAREA,IMG{max-width:100%;box-sizing:border-box}"
    "@media (max-width:40em){FORM TABLE,FORM TBODY,FORM TR,FORM TD,FORM TH{display:block}"
    "FORM TABLE{width:auto !important}TEXTAREA{width:100%}}</STYLE>\n"
    // A list that loads another page when changed (a project, a book ...) waits, when it is
    // changed from the keyboard, until the choice is made: Enter, or leaving the list. Arrow
    // keys move through the choices without a reload taking the focus away.
    "<SCRIPT>(function(){var d=document;"
    "d.addEventListener(\"keydown\",function(e){var m=e.target;"
    "if(m.tagName!=\"SELECT\"||!m.onchange)return;"
    "if(e.key==\"Enter\"&&m.held){e.preventDefault();m.held=0;m.keyed=0;m.onchange();}"
    "else if(e.key!=\"Tab\"&&e.key!=\"Shift\")m.keyed=1;},true);"
    "d.addEventListener(\"mousedown\",function(e){e.target.keyed=0;},true);"
    "d.addEventListener(\"change\",function(e){var m=e.target;"
    "if(m.keyed&&m.onchange){e.stopPropagation();m.held=1;}},true);"
    "d.addEventListener(\"focusout\",function(e){var m=e.target;"
    "if(m.held){m.held=0;m.keyed=0;m.onchange();}},true);})();</SCRIPT>\n";

}  // namespace web
