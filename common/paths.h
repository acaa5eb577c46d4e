#pragma once

#include <string>

// Where a daemon writes its logs and temporary files: /var/log and /tmp on the router;
// folders under $HALVEX_RUN_DIR when a host rig sets it.
namespace paths {

constexpr const char* kRunDirEnv = "HALVEX_RUN_DIR";

std::string LogDir();
std::string TmpDir();

}  // namespace paths
