// Fills an installation with sheets for benchmarks: the configuration files that name
// them, N sheet files with a few entries each, and their index.
#pragma once

#include <string>

namespace bench {

struct GeneratedSet {
  std::string root;       // PWD of the installation
  std::string data_dir;   // root + "/data/"
  std::string some_name;  // the name of a sheet in the middle of the index
};

// Lays out `root` (config/quorb.cfg, project files, data/) and writes `count` sheets with
// realistic field lengths, 1 to 4 entries and 2 to 6 log lines each, in index order.
GeneratedSet GenerateSheets(const std::string& root, int count, unsigned seed = 1);

}  // namespace bench
