// The rights the search applies to each sheet it keeps when security is on: right 4 to see
// every project (else only the project of the `Uid`), right 7 for the open group of
// statuses, right 6 for the closed group. Each right is asked at most once per request.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/sheet.h"
#include "web/params.h"

namespace search {

class SheetAccess {
 public:
  // `quiet`: the answer is a data file, so the rights are read without the "Access granted"
  // and "Access denied" comments of the page.
  SheetAccess(const web::ParamList& params, bool quiet);

  bool MaySee(const store::FactSheet& sheet);
  bool MaySee(std::string_view project, int status);
  // Every right read now, so that MaySee reads nothing more and threads may share it.
  void Settle();

 private:
  bool Right(std::optional<bool>& slot, int n);

  const web::ParamList& params_;
  bool quiet_;
  bool active_;
  std::string uid_project_;
  std::optional<bool> every_project_, open_, closed_;
};

// Right n of the request's `Uid`, read as the page's rights check reads it, writing nothing.
bool HasRightQuietly(const web::ParamList& params, int n);

}  // namespace search
