// The statistics pages (CMD=statS): the menu, the workload, history, program and monthly
// tables, the plot pages and the data pages the plots read. `statS` selects the page.
#pragma once

#include "web/params.h"

namespace stats {

void StatisticsPage(web::ParamList& list);

}  // namespace stats
