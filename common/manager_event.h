#pragma once

#include <cstdint>
#include <vector>

// The mailbox codes (3003 to 3006) that one "brelix.manager" payload stands for, in the order of
// its members: {"evt":{"internet":"up"}} gives 3006. Unusable input is logged and skipped.
std::vector<int32_t> ParseManagerEvent(const char* text);
