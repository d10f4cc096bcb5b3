// Parsing of status arguments and rendering of what the control commands print.
#pragma once

#include <string>
#include <vector>

#include "runtime/hyperkern/protocol.h"

namespace HyperkernEmu {

// "0x" hex with upper-case digits, as statuses are written everywhere: 0xBAD0006, 0x0.
std::string HexStatus(uint32_t status);
// A decimal or 0x-prefixed hexadecimal 32-bit value.
bool ParseStatus(const std::string &text, uint32_t &status);
// Comma-separated statuses; an empty text is an empty list.
bool ParseStatusList(const std::string &text, std::vector<uint32_t> &statuses, std::string *error);

std::string SendReport(const Hyperkern::Proto::QueueMsgAnswer &answer, bool json);
std::string RepliesReport(const Hyperkern::Proto::ListRepliesAnswer &answer, bool json);
std::string KeysReport(const Hyperkern::Proto::ListKeysAnswer &answer, bool json, bool reveal);

} // namespace HyperkernEmu
